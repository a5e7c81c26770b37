import QtQuick
import QtTest
import Mixelot

// The panel and its app rows on the program over the simulated audio layer (`world`: ViewWorld.h).
TestCase {
    id: testCase
    name: "MixerView"
    width: 320
    height: 700
    when: windowShown
    visible: true

    readonly property string radio: "org.example.Radio"

    Component { id: panel; MixerView {} }
    Component { id: signalSpy; SignalSpy {} }
    Component { id: icon; Image {} }
    // The panel in a window of its own, as tall as the panel's content, as the program shows it.
    Component {
        id: panelWindow
        Window {
            property alias view: content
            width: 320
            height: content.implicitHeight
            visible: true
            MixerView { id: content; height: parent.height }
        }
    }

    function init() { world.reset() }

    function makePanel() {
        const view = createTemporaryObject(panel, testCase, { viewModel: world.mixer })
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
    // The panel with Radio as its only app; returns Radio's row.
    function radioRow() {
        world.play(100, radio, "Radio")
        return row(makePanel(), 0)
    }
    function percent(item) { return findChild(item, "percent").text }
    function clickMenuItem(menu, item) {
        tryCompare(menu, "opened", true)
        mouseClick(item)
        tryCompare(menu, "visible", false)
    }
    function clickContextItem(menu, index) { clickMenuItem(menu, menu.itemAt(index)) }
    function clickRouteItem(row, index) {
        const menu = findChild(row, "routeMenu")
        tryCompare(menu, "opened", true)
        tryVerify(() => findChild(row, "routeItems").itemAtIndex(index) !== null)
        clickMenuItem(menu, findChild(row, "routeItems").itemAtIndex(index))
    }
    function playApps(count) {
        for (let i = 0; i < count; ++i)
            world.play(200 + i, "org.example.App" + String(i).padStart(2, "0"), "App " + String(i).padStart(2, "0"))
    }

    // The badge, the empty state, a long list that scrolls instead of growing, and the footer.
    function test_panelFrame() {
        const view = makePanel()
        verify(world.mixer.isRefreshing)        // on screen
        verify(!findChild(view, "badge").visible)
        verify(findChild(view, "emptyState").visible)

        for (let i = 0; i < 9; ++i)
            world.play(200 + i, "org.example.App" + i, "App " + i)
        tryCompare(findChild(view, "badge"), "visible", true)
        tryVerify(() => !findChild(view, "emptyState").visible)
        const list = findChild(view, "appList")
        compare(list.count, 9)
        tryCompare(list, "height", 400)
        verify(list.contentHeight > 400)

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

    // Percentages are truncated, not rounded; a muted system disables its slider.
    function test_systemCard() {
        const view = makePanel()
        // A Page key reports its value and leaves the knob bound to the model.
        findChild(view, "systemSlider").forceActiveFocus()
        keyClick(Qt.Key_PageDown)
        fuzzyCompare(world.mixer.systemVolume, 0.7, 1e-4)
        world.mixer.setSystemVolume(0.999)
        compare(findChild(view, "systemPercent").text, "99%")
        // A float just under a whole percent is still that percent.
        world.mixer.setSystemVolume(0.29)
        compare(findChild(view, "systemPercent").text, "29%")
        const button = findChild(view, "systemMuteButton")
        mouseClick(button)
        verify(world.mixer.systemMuted)
        verify(!findChild(view, "systemSlider").enabled)
        compare(findChild(button, "symbol").symbol, "speaker.slash.fill")
    }

    // The system card's device name opens the output list inside the panel's window, the
    // default checked; the keyboard or a click makes another device the default, and a device
    // that appears while the list is open joins it.
    function test_outputPicker() {
        for (let i = 0; i < 4; ++i)
            world.addDevice("hdmi" + i, "HDMI / DisplayPort " + i)
        const window = createTemporaryObject(panelWindow, testCase)
        window.view.viewModel = world.mixer
        waitForRendering(window.view)
        const button = findChild(window.view, "outputButton")
        const menu = findChild(window.view, "outputMenu")
        const items = findChild(window.view, "outputItems")
        button.forceActiveFocus()
        keyClick(Qt.Key_Space)
        tryCompare(menu, "opened", true)
        compare(items.count, 6)
        tryVerify(() => menu.y + button.mapToItem(null, 0, 0).y + menu.height <= window.height,
                  1000, "menu ends below the window of " + window.height)
        compare(items.currentIndex, 0)
        tryVerify(() => items.itemAtIndex(1) !== null)
        compare(findChild(items.itemAtIndex(0), "outputCheck").opacity, 1)
        compare(findChild(items.itemAtIndex(1), "outputCheck").opacity, 0)
        world.addDevice("usb", "DAC")
        compare(items.count, 7)
        keyClick(Qt.Key_Down)
        keyClick(Qt.Key_Return)
        tryCompare(menu, "visible", false)
        world.advance(0.1)
        compare(world.mixer.outputDeviceUID, "headphones")
        compare(world.mixer.outputDeviceName, "Headphones")
        tryVerify(() => button.activeFocus)
        mouseClick(button)
        tryCompare(menu, "opened", true)
        compare(items.currentIndex, 1)
        tryVerify(() => items.itemAtIndex(0) !== null)
        mouseClick(items.itemAtIndex(0))
        tryCompare(menu, "visible", false)
        world.advance(0.1)
        compare(world.mixer.outputDeviceUID, "speakers")
        tryCompare(window, "height", window.view.implicitHeight)
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

        // A device sub-slider likewise, and one holding the keyboard keeps it after each step.
        world.mixer.toggleDeviceRouting("org.example.Music", "headphones")
        world.mixer.toggleDeviceRouting("org.example.Music", "speakers")
        const subRow = findChild(music, "deviceRows").itemAt(0)
        const sub = findChild(subRow, "slider")
        waitForRendering(music)
        mousePress(sub, sub.width / 2, sub.height / 2)
        world.setVolumeBehindPanel("org.example.Music", 0.3)   // the other sub-row follows it
        world.refresh()
        verify(sub.pressed)
        mouseRelease(sub, sub.width / 2, sub.height / 2)
        keyClick(Qt.Key_Right)
        keyClick(Qt.Key_PageUp)
        verify(sub.activeFocus)
        compare(findChild(music, "deviceRows").itemAt(0), subRow)
        fuzzyCompare(world.deviceVolume("org.example.Music", "headphones"), sub.value, 1e-4)
        compare(findChild(subRow, "percent").text, Math.floor(sub.value * 100 + 1e-4) + "%")
    }

    // The peak bars under the sliders follow the program's level sampling while the panel shows.
    function test_metersFollowEachSample() {
        world.play(100, radio, "Radio")
        world.mixer.toggleDeviceRouting(radio, "headphones")
        world.mixer.toggleDeviceRouting(radio, "speakers")
        const r = row(makePanel(), 0)
        const bar = item => findChild(findChild(item, "slider"), "levelBar")
        const appBar = bar(r)
        const devices = findChild(r, "deviceRows")   // Headphones, Speakers
        compare(appBar.width, 0)
        world.playLevel(radio, "headphones", 0.5)
        fuzzyCompare(appBar.width, appBar.parent.width * 0.5, 1)
        fuzzyCompare(bar(devices.itemAt(0)).width, bar(devices.itemAt(0)).parent.width * 0.5, 1)
        compare(bar(devices.itemAt(1)).width, 0)
    }

    function test_sliderReportsEveryValueAndThePercentageFollowsIt() {
        const row = radioRow()
        const slider = findChild(row, "slider")
        mousePress(slider, slider.width / 2, slider.height / 2)
        fuzzyCompare(world.appVolume(radio), 0.5, 0.03)
        for (const x of [0.6, 0.7, 0.75]) {
            mouseMove(slider, slider.width * x, slider.height / 2)
            fuzzyCompare(world.appVolume(radio), x, 0.03)
            compare(percent(row), Math.floor(slider.value * 100 + 1e-4) + "%")
        }
        mouseRelease(slider, slider.width * 0.75, slider.height / 2)

        // Keys: arrows by 1 %, Page Up/Down by 10 %.
        world.setVolumeBehindPanel(radio, 0.5)
        slider.forceActiveFocus()
        keyClick(Qt.Key_Right)
        fuzzyCompare(world.appVolume(radio), 0.51, 1e-4)
        keyClick(Qt.Key_PageDown)
        fuzzyCompare(world.appVolume(radio), 0.41, 1e-4)
        compare(percent(row), "41%")
        // The knob and its percentage still follow the model after the Page key.
        world.setVolumeBehindPanel(radio, 0.7)
        compare(percent(row), "70%")
        fuzzyCompare(slider.value, 0.7, 1e-4)
    }

    // A muted app with a stored volume of 0 shows 100 %, and unmuting keeps it there.
    function test_localVolumeOfAMutedAppAtZero() {
        world.play(100, radio, "Radio")
        world.setVolumeBehindPanel(radio, 0)
        world.toggleMuteBehindPanel(radio)
        const row = radioRow()
        compare(percent(row), "100%")
        verify(!findChild(row, "slider").enabled)
        const mute = findChild(row, "muteButton")
        mouseClick(mute)
        verify(!world.appMuted(radio))
        compare(world.appVolume(radio), 0)
        compare(percent(row), "100%")

        // A volume set elsewhere is followed while unmuted, not while muted.
        world.setVolumeBehindPanel(radio, 0.3)
        compare(percent(row), "30%")
        mouseClick(mute)
        compare(percent(row), "30%")
    }

    // A muted row keeps showing the volume it had, built afresh or scrolled away and back.
    function test_aMutedRowKeepsItsVolume() {
        playApps(12)
        const first = "org.example.App00"
        world.setVolumeBehindPanel(first, 0.6)
        world.toggleMuteBehindPanel(first)
        const view = makePanel()
        compare(percent(row(view, 0)), "60%")
        const list = findChild(view, "appList")
        list.positionViewAtEnd()
        list.positionViewAtBeginning()
        compare(percent(row(view, 0)), "60%")
        verify(!findChild(row(view, 0), "slider").enabled)
    }

    // Tab and Down reach every control of every row in order, and the list scrolls along.
    function test_keyboardReachesEveryRow() {
        playApps(12)
        const view = makePanel()
        const list = findChild(view, "appList")
        findChild(view, "systemMuteButton").forceActiveFocus()
        let last = 0
        let focused = null
        for (let presses = 0; presses < 12 * 4; ++presses) {
            keyClick(Qt.Key_Tab)
            focused = view.Window.activeFocusItem
            let item = focused
            while (item && item.appId === undefined)
                item = item.parent
            verify(item, "focus left the rows at " + presses + " on " + focused + " after " + last)
            verify(item.index >= last)
            last = item.index
            if (last === 11 && focused.objectName === "muteButton")
                break
        }
        compare(last, 11)
        const mute = focused
        const lastRow = row(view, 11)
        compare(findChild(lastRow, "muteButton"), mute)
        const y = mute.mapToItem(list, 0, 0).y
        verify(y >= 0 && y + mute.height <= list.height, "scrolled to " + y)
        keyClick(Qt.Key_Up)
        verify(findChild(lastRow, "slider").activeFocus)
        keyClick(Qt.Key_Up)
        verify(findChild(lastRow, "routeButton").activeFocus)
        keyClick(Qt.Key_Down)
        verify(findChild(lastRow, "slider").activeFocus)
        // Back from below the list: into its last row.
        findChild(view, "settingsButton").forceActiveFocus()
        keyClick(Qt.Key_Backtab)
        verify(mute.activeFocus)
    }

    // With one app and six outputs (long names among them), the panel's window grows for the
    // menu and every item can be reached and read.
    function test_routingMenuStaysInsideItsWindow() {
        world.play(100, radio, "Radio")
        for (let i = 0; i < 4; ++i)
            world.addDevice("hdmi" + i, "HDMI / DisplayPort " + i + " — Built-in Audio Digital Stereo Output")
        const window = createTemporaryObject(panelWindow, testCase)
        window.view.viewModel = world.mixer
        waitForRendering(window.view)
        const r = findChild(window.view, "appList").itemAtIndex(0)
        const button = findChild(r, "routeButton")
        const menu = findChild(r, "routeMenu")
        const items = findChild(r, "routeItems")
        mouseClick(button)
        tryCompare(menu, "opened", true)
        compare(items.count, 6)
        tryVerify(() => menu.y >= 0 && menu.y + menu.height <= window.height,
                  1000, "menu " + menu.y + "+" + menu.height + " in " + window.height)
        tryVerify(() => items.itemAtIndex(5) !== null)
        const lastItem = items.itemAtIndex(5)
        verify(findChild(lastItem, "routeItemName").truncated)
        verify(lastItem.mapToItem(null, 0, lastItem.height).y <= window.height)
        mouseClick(lastItem)
        tryCompare(menu, "visible", false)
        compare(world.routing(radio), ["hdmi3"])
        tryVerify(() => button.activeFocus)     // back to the button that opened it
        tryCompare(window, "height", window.view.implicitHeight)
    }

    function test_iconAndContextMenuActions() {
        const row = radioRow()
        mouseClick(findChild(row, "iconButton"))
        compare(world.activated(), [100])         // brought to front
        // Where nothing could bring it to the front, the row does not offer it.
        world.setActivatable([])
        verify(!findChild(row, "iconButton").enabled)
        world.setActivatable([radio])
        verify(findChild(row, "iconButton").enabled)
        world.setVolumeBehindPanel(radio, 0.4)
        world.toggleMuteBehindPanel(radio)
        const menu = findChild(row, "contextMenu")

        mouseClick(row, 60, 20, Qt.RightButton)
        clickContextItem(menu, 0)                    // Reset to 100%
        compare(world.appVolume(radio), 1)
        verify(!world.appMuted(radio))
        compare(percent(row), "100%")

        mouseClick(row, 60, 20, Qt.RightButton)
        compare(menu.itemAt(1).text, "Mute")
        clickContextItem(menu, 1)
        verify(world.appMuted(radio))

        mouseClick(row, 60, 20, Qt.RightButton)
        clickContextItem(menu, 3)                    // Hide from list (2 is the separator)
        compare(world.hiddenApps(), [radio])
        world.advance(14)                // a hidden app still playing goes after its grace period
        tryCompare(findChild(row.ListView.view.parent.parent, "appList"), "count", 0)
    }

    function test_routingMenuLabelItemsAndSubRows() {
        const row = radioRow()
        const button = findChild(row, "routeButton")
        const symbol = findChild(row, "routeSymbol")
        const count = findChild(row, "routeCount")
        const subRows = () => findChild(row, "deviceRows").count

        // Nothing routed: the default.
        compare(row.routeToolTip, "Output: System Default")
        verify(!count.visible)
        compare(subRows(), 0)

        // One routed device, chosen from the menu: its icon, its name, one sub-row.
        mouseClick(button)
        clickRouteItem(row, 1)
        compare(world.routing(radio), ["headphones"])
        compare(symbol.symbol, "headphones")
        compare(row.routeToolTip, "Output: Headphones")
        compare(subRows(), 1)

        // Three: the generic speaker and the count.
        world.addDevice("tv", "Living Room TV")
        mouseClick(button)
        clickRouteItem(row, 0)
        // The keyboard way: the menu focuses its first item, Down moves, Return ticks.
        button.forceActiveFocus()
        keyClick(Qt.Key_Space)
        tryCompare(findChild(row, "routeMenu"), "opened", true)
        keyClick(Qt.Key_Down)
        keyClick(Qt.Key_Down)
        keyClick(Qt.Key_Up)
        keyClick(Qt.Key_Down)
        const items = findChild(row, "routeItems")
        verify(items.itemAtIndex(2).activeFocus)
        verify(items.itemAtIndex(0).routed && !items.itemAtIndex(2).routed)
        keyClick(Qt.Key_Return)
        compare(world.routing(radio), ["headphones", "speakers", "tv"])
        compare(symbol.symbol, "speaker.wave.2.fill")
        compare(count.text, "3")
        compare(row.routeToolTip, "Output: Headphones, Speakers, Living Room TV")
        compare(subRows(), 3)

        // A sub-row without its own volume shows the app's; moving it sets only that device.
        const tvRow = findChild(row, "deviceRows").itemAt(2)
        compare(findChild(tvRow, "percent").text, "100%")
        const tvSlider = findChild(tvRow, "slider")
        waitForRendering(row)
        mouseClick(tvSlider, tvSlider.width * 0.25, tvSlider.height / 2)
        fuzzyCompare(world.deviceVolume(radio, "tv"), 0.25, 0.05)
        compare(world.appVolume(radio), 1)

        // A routed device that went away shows neither a sub-row nor a name.
        world.removeDevice("tv")
        compare(row.routeToolTip, "Output: Headphones, Speakers")
        compare(subRows(), 2)
        compare(count.text, "3")

        // With a single device left there is nothing to choose: no menu.
        world.removeDevice("headphones")
        verify(!button.visible)
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
}
