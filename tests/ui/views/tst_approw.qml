import QtQuick
import QtTest
import Mixelot

// One app's row inside the panel, on the program over the simulated audio layer.
TestCase {
    id: testCase
    name: "AppSliderRow"
    width: 320
    height: 700
    visible: true
    when: windowShown

    readonly property string radio: "org.example.Radio"

    Component { id: panel; MixerView {} }

    function init() { world.reset() }

    // The panel with Radio as its only app; returns Radio's row.
    function radioRow() {
        world.play(100, radio, "Radio")
        const view = createTemporaryObject(panel, testCase, { viewModel: world.mixer })
        const list = findChild(view, "appList")
        list.forceLayout()
        waitForRendering(view)
        return list.itemAtIndex(0)
    }
    function percent(item) { return findChild(item, "percent").text }
    function clickMenuItem(menu, item) {
        tryCompare(menu, "opened", true)
        mouseClick(item)
        tryCompare(menu, "visible", false)
    }
    function clickContextItem(menu, index) { clickMenuItem(menu, menu.itemAt(index)) }
    function clickRouteItem(row, index) {
        clickMenuItem(findChild(row, "routeMenu"), findChild(row, "routeItems").itemAt(index))
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

    function test_contextMenuActions() {
        const row = radioRow()
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
        compare(world.appIds().indexOf(radio), -1)
        tryCompare(findChild(row.ListView.view.parent.parent, "appList"), "count", 0)
    }

    function test_iconButtonBringsTheAppToFront() {
        mouseClick(findChild(radioRow(), "iconButton"))
        compare(world.activated(), [100])
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
        keyClick(Qt.Key_Up)
        keyClick(Qt.Key_Return)
        compare(world.routing(radio), ["headphones", "tv", "speakers"])
        compare(symbol.symbol, "speaker.wave.2.fill")
        compare(count.text, "3")
        compare(row.routeToolTip, "Output: Headphones, Living Room TV, Speakers")
        compare(subRows(), 3)

        // A sub-row without its own volume shows the app's; moving it sets only that device.
        const tvRow = findChild(row, "deviceRows").itemAt(1)
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
}
