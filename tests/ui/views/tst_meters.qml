import QtQuick
import QtTest
import Mixelot

// The peak bars under the sliders, fed by the program's level sampling while the panel shows.
TestCase {
    id: testCase
    name: "Meters"
    width: 320
    height: 700
    visible: true
    when: windowShown

    Component { id: panel; MixerView {} }

    function init() { world.reset() }

    function test_barsFollowEachSample() {
        const radio = "org.example.Radio"
        world.play(100, radio, "Radio")
        world.mixer.toggleDeviceRouting(radio, "headphones")
        world.mixer.toggleDeviceRouting(radio, "speakers")
        const view = createTemporaryObject(panel, testCase, { viewModel: world.mixer })
        const list = findChild(view, "appList")
        list.forceLayout()
        waitForRendering(view)

        const row = list.itemAtIndex(0)
        const bar = item => findChild(findChild(item, "slider"), "levelBar")
        const appBar = bar(row)
        const devices = findChild(row, "deviceRows")   // Headphones, Speakers
        compare(appBar.width, 0)
        world.playLevel(radio, "headphones", 0.5)
        fuzzyCompare(appBar.width, appBar.parent.width * 0.5, 1)
        fuzzyCompare(bar(devices.itemAt(0)).width, bar(devices.itemAt(0)).parent.width * 0.5, 1)
        compare(bar(devices.itemAt(1)).width, 0)
    }
}
