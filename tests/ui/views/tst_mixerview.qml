import QtQuick
import QtTest
import Mixelot

// The panel on the program over the simulated audio layer (`world`, see ViewWorld.h).
TestCase {
    id: testCase
    name: "MixerView"
    width: 320
    height: 700
    when: windowShown
    visible: true

    Component { id: panel; MixerView {} }

    function init() { world.reset() }

    function makePanel() {
        const view = createTemporaryObject(panel, testCase, { viewModel: world.mixer })
        verify(view)
        view.forceActiveFocus()
        waitForRendering(view)
        return view
    }
    function row(view, index) {
        const list = findChild(view, "appList")
        list.forceLayout()
        waitForRendering(view)
        return list.itemAtIndex(index)
    }

    function test_badgeAndEmptyState() {
        const view = makePanel()
        verify(world.mixer.isRefreshing)        // on screen
        verify(!findChild(view, "badge").visible)
        verify(findChild(view, "emptyState").visible)

        world.play(100, "org.example.Radio", "Radio")
        world.play(101, "org.example.Music", "Music")
        world.play(102, "org.example.Video", "Video")
        tryCompare(findChild(view, "badge"), "visible", true)
        tryVerify(() => !findChild(view, "emptyState").visible)
        compare(findChild(view, "appList").count, 3)
    }

    function test_percentagesAreTruncatedNotRounded() {
        const view = makePanel()
        world.mixer.setSystemVolume(0.999)
        compare(findChild(view, "systemPercent").text, "99%")
        // A float just under a whole percent is still that percent.
        world.mixer.setSystemVolume(0.29)
        compare(findChild(view, "systemPercent").text, "29%")
    }

    function test_mutedSystemDisablesItsSlider() {
        const view = makePanel()
        const button = findChild(view, "systemMuteButton")
        mouseClick(button)
        verify(world.mixer.systemMuted)
        verify(!findChild(view, "systemSlider").enabled)
        compare(findChild(button, "symbol").symbol, "speaker.slash.fill")
    }

    function test_permissionBannerFollowsTheStatus() {
        const view = makePanel()
        const banner = findChild(view, "permissionBanner")
        verify(!banner.visible)                 // authorized
        world.setPermission("denied")
        verify(banner.visible)
        // Below the list, above the footer.
        tryVerify(() => banner.y > findChild(view, "appList").y
                  && banner.y + banner.height <= findChild(view, "settingsButton").mapToItem(view, 0, 0).y)
        mouseClick(findChild(banner, "openButton"))
        compare(world.permissionSettingsOpened(), 1)
        world.setPermission("unknown")
        verify(banner.visible)
        world.setPermission("authorized")
        verify(!banner.visible)
        world.setPermission("denied")
        world.setPermission("none")
        verify(!banner.visible)
    }

    function test_footerAndEscape() {
        const view = makePanel()
        mouseClick(findChild(view, "settingsButton"))
        mouseClick(findChild(view, "quitButton"))
        compare(world.settingsOpened, 1)
        compare(world.quits, 1)
        findChild(view, "settingsButton").forceActiveFocus()
        keyClick(Qt.Key_Tab)
        verify(findChild(view, "quitButton").activeFocus)
        const closed = signalSpy.createObject(testCase, { target: view, signalName: "closeRequested" })
        keyClick(Qt.Key_Escape)
        compare(closed.count, 1)
    }

    // A refresh that changes other rows, or adds one, keeps each row — and a slider in the middle
    // of a drag — as it is.
    function test_rowsAndADraggedSliderSurviveRefreshes() {
        world.play(100, "org.example.Music", "Music")
        const view = makePanel()
        const music = row(view, 0)
        const slider = findChild(music, "slider")
        mousePress(slider, slider.width / 2, slider.height / 2)
        verify(slider.pressed)

        world.play(101, "org.example.Alarm", "Alarm")     // sorts before Music
        world.setVolumeBehindPanel("org.example.Alarm", 0.3)
        world.refresh()
        compare(row(view, 1), music)
        verify(slider.pressed)
        mouseMove(slider, slider.width * 0.8, slider.height / 2)
        mouseRelease(slider, slider.width * 0.8, slider.height / 2)
        fuzzyCompare(world.appVolume("org.example.Music"), 0.8, 0.05)
        compare(row(view, 1), music)
    }

    function test_aLongListScrollsInsteadOfGrowing() {
        for (let i = 0; i < 9; ++i)
            world.play(200 + i, "org.example.App" + i, "App " + i)
        const view = makePanel()
        const list = findChild(view, "appList")
        compare(list.height, 400)
        verify(list.contentHeight > 400)
    }

    // Every symbol the panel can name, the device icons included, is bundled.
    function test_everySymbolIsBundled() {
        for (const name of ["speaker.wave.2.fill", "speaker.slash.fill", "speaker.slash",
                            "arrow.triangle.branch", "gearshape", "power", "waveform", "headphones",
                            "airpods", "tv", "hifispeaker", "desktopcomputer", "laptopcomputer",
                            "cable.connector", "airplayaudio", "app.fill", "chevron.down",
                            "checkmark.circle.fill", "circle"]) {
            const image = createTemporaryObject(icon, testCase, { source: "qrc:/icons/" + name + ".svg" })
            compare(image.status, Image.Ready, name)
        }
    }

    Component { id: signalSpy; SignalSpy {} }
    Component { id: icon; Image {} }
}
