import QtQuick
import QtTest
import Mixelot

// The peak bars under the sliders, fed by a view model that samples levels. The program's model
// stands behind a stand-in that adds the sampling calls.
TestCase {
    id: testCase
    name: "Meters"
    width: 320
    height: 700
    visible: true
    when: windowShown

    Component { id: panel; MixerView {} }
    Component {
        id: sampler
        QtObject {
            readonly property var real: world.mixer
            readonly property var appModel: real.appModel
            readonly property var availableOutputDevices: real.availableOutputDevices
            readonly property real systemVolume: real.systemVolume
            readonly property bool systemMuted: real.systemMuted
            readonly property string outputDeviceName: real.outputDeviceName
            readonly property string outputDeviceIcon: real.outputDeviceIcon
            readonly property bool showsPermissionBanner: false
            readonly property bool isSandboxed: false
            property bool sampling: false
            property real peak: 0
            signal levelsSampled()
            function setLevelSampling(on) { sampling = on }
            function startRefreshing() { real.startRefreshing() }
            function stopRefreshTimer() { real.stopRefreshTimer() }
            function appLevel(bundleID) { return peak }
            function deviceLevel(bundleID, deviceUID) { return deviceUID === "headphones" ? peak / 2 : 0 }
        }
    }

    function init() { world.reset() }

    function test_barsFollowEachSample() {
        world.play(100, "org.example.Radio", "Radio")
        world.mixer.toggleDeviceRouting("org.example.Radio", "headphones")
        const model = createTemporaryObject(sampler, testCase)
        const view = createTemporaryObject(panel, testCase, { viewModel: model })
        const list = findChild(view, "appList")
        list.forceLayout()
        waitForRendering(view)
        verify(model.sampling)

        const row = list.itemAtIndex(0)
        const appBar = findChild(findChild(row, "slider"), "levelBar")
        const deviceBar = findChild(findChild(findChild(row, "deviceRows").itemAt(0), "slider"),
                                    "levelBar")
        compare(appBar.width, 0)
        model.peak = 0.5
        model.levelsSampled()
        fuzzyCompare(appBar.width, appBar.parent.width * 0.5, 1)
        fuzzyCompare(deviceBar.width, deviceBar.parent.width * 0.25, 1)
    }
}
