// Choosing a capture device by what a user types, and keeping a live capture
// going when its device goes away and comes back (a simulated sound card and a
// clock the test advances).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "render/standard_engine.h"
#include "core/waveio.h"
#include "fake_wave_input.h"

namespace quorvel {
namespace {

using testing::FakeWaveInput;
using Change = CaptureKeeper::Change;
using std::chrono::milliseconds;

TEST(FindDevice, ByNumberNameOrUniquePartOfTheDescription) {
    const std::vector<DeviceEntry> devices = {
        {"alsa_input.usb-Scanner_Box-00.analog-stereo", "Scanner Box Analog Stereo"},
        {"alsa_input.pci-0000_00_1f.3.analog-stereo", "Built-in Audio Analog Stereo"},
        {"alsa_output.pci-0000_00_1f.3.analog-stereo.monitor", "Monitor of Built-in Audio Analog Stereo"},
        {"hw:1,0", ""},
        {"42", "Named like a number"},
    };
    struct Case {
        std::string query;
        std::int32_t index;  // -1: refused
        const char* error;   // a part of the reason, when refused
    };
    const Case cases[] = {
        {"0", 0, ""},
        {"3", 3, ""},
        {"5", -1, "no capture device 5 (5 listed)"},
        {"42", -1, "(5 listed)"},  // numbers are positions in the list
        {std::string(300, '9'), -1, "(5 listed)"},
        {"alsa_input.pci-0000_00_1f.3.analog-stereo", 1, ""},
        {"hw:1,0", 3, ""},
        {"scanner", 0, ""},
        {"SCANNER BOX", 0, ""},
        {"Monitor", 2, ""},
        // A whole description wins over the longer one that contains it.
        {"built-in audio analog stereo", 1, ""},
        {"Built-in", -1, "fits several capture devices: 'Built-in Audio Analog Stereo' 'Monitor of"},
        {"Analog", -1, "fits several"},
        {"default", -1, "no capture device 'default'"},
        {"alsa_input", -1, "no capture device 'alsa_input'"},  // names match whole only
        {"", -1, "no capture device"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(FindDevice(devices, c.query, error), c.index) << c.query;
        if (c.index < 0) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.query << ": " << error;
        }
    }
}

TEST(FindDevice, ListedDevicesKeepWholeNamesAndDescriptions) {
    const std::string longName = "alsa_input.usb-0d8c_USB_Sound_Device-00.analog-mono";
    FakeWaveInput device({"Line", longName, "Mic"}, {"", "USB Sound Device Mono"});
    device.unreadableNames = {2};
    FixedClock clock;
    StandardEngine engine(clock);
    WaveCapture capture(device, engine);
    capture.EnumerateDevices();

    ASSERT_EQ(capture.Devices().size(), 3u);
    EXPECT_EQ(capture.DeviceNames()[1], longName.substr(0, DeviceNameLength));
    EXPECT_EQ(capture.Devices()[1].name, longName);
    EXPECT_EQ(capture.DeviceLabel(0), "Line");  // no description: the name
    EXPECT_EQ(capture.DeviceLabel(1), "USB Sound Device Mono");
    EXPECT_EQ(capture.DeviceLabel(2), "");
    std::string error;
    EXPECT_EQ(FindDevice(capture.Devices(), longName, error), 1);
    EXPECT_EQ(FindDevice(capture.Devices(), "usb sound", error), 1);
}

class Keeper : public ::testing::Test {
protected:
    void SetUp() override {
        capture.EnumerateDevices();
        capture.SetDeviceIndex(1);
        capture.OpenCapture();
        ASSERT_TRUE(capture.CaptureRunning());
    }
    int Opens() const {
        int n = 0;
        for (const std::string& call : device.Calls()) n += call == "open 1" ? 1 : 0;
        return n;
    }
    // Fill buffers until the capture thread has processed `count` more blocks.
    bool Deliver(std::uint64_t count) {
        const std::uint64_t target = capture.ProcessedBlocks() + count;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (capture.ProcessedBlocks() < target) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            device.Fill(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    FixedClock clock;
    StandardEngine engine{clock};
    FakeWaveInput device{{"Line", "USB"}};
    WaveCapture capture{device, engine};
    CaptureKeeper keeper{capture};
    std::chrono::steady_clock::time_point t0{};
};

TEST_F(Keeper, AWorkingCaptureIsLeftAlone) {
    ASSERT_TRUE(Deliver(3));
    for (int i = 0; i < 100; ++i) EXPECT_EQ(keeper.Check(t0 + milliseconds(100 * i)), Change::None);
    EXPECT_EQ(Opens(), 1);
    EXPECT_TRUE(capture.CaptureRunning());
}

TEST_F(Keeper, ALostDeviceIsClosedAndOpenedAgainWithAGrowingWaitUntilItIsBack) {
    ASSERT_TRUE(Deliver(2));
    device.Disappear();
    EXPECT_EQ(keeper.Check(t0), Change::Lost);
    EXPECT_TRUE(keeper.Lost());
    EXPECT_FALSE(device.IsOpen());
    EXPECT_FALSE(capture.CaptureThreadAlive());

    // Attempts after 0.5, 1, 2, 4, 8, 16, 16 s: between them, nothing is tried.
    const int waits[] = {500, 1000, 2000, 4000, 8000, 16000, 16000};
    auto now = t0;
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(keeper.Check(now + milliseconds(waits[i] - 1)), Change::None);
        EXPECT_EQ(Opens(), 1 + i) << "tried before the wait of " << waits[i] << " ms";
        now += milliseconds(waits[i]);
        EXPECT_EQ(keeper.Check(now), Change::None);
        EXPECT_EQ(Opens(), 2 + i);
        EXPECT_FALSE(device.IsOpen()) << "a failed attempt leaves the device closed";
    }
    EXPECT_EQ(keeper.Attempts(), 7);

    device.Reappear();
    EXPECT_EQ(keeper.Check(now + milliseconds(15999)), Change::None);
    EXPECT_EQ(keeper.Check(now + milliseconds(16000)), Change::Restored);
    EXPECT_FALSE(keeper.Lost());
    EXPECT_TRUE(capture.CaptureRunning());
    EXPECT_EQ(device.Calls()[device.Calls().size() - 2 - 0], "open 1") << "the same device again";
    ASSERT_TRUE(Deliver(3));
    EXPECT_EQ(device.AddsWhileClosed(), 0);

    // A second loss starts again from the shortest wait.
    device.Disappear();
    now += milliseconds(20000);
    EXPECT_EQ(keeper.Check(now), Change::Lost);
    device.Reappear();
    EXPECT_EQ(keeper.Check(now + milliseconds(500)), Change::Restored);
}

TEST_F(Keeper, ADeviceThatNeverOpenedIsNotRetried) {
    capture.CloseCapture();
    device.failOpen = true;
    capture.OpenCapture();
    ASSERT_FALSE(capture.CaptureRunning());
    for (int i = 0; i < 50; ++i) EXPECT_EQ(keeper.Check(t0 + milliseconds(1000 * i)), Change::None);
    EXPECT_EQ(Opens(), 2);
}

TEST_F(Keeper, ACaptureOpenedAgainByTheUserCountsAsRestored) {
    device.Disappear();
    ASSERT_EQ(keeper.Check(t0), Change::Lost);
    device.Reappear();
    capture.SetDeviceIndex(0);  // the user picks another input meanwhile
    capture.OpenCapture();
    ASSERT_TRUE(capture.CaptureRunning());
    EXPECT_EQ(keeper.Check(t0 + milliseconds(10)), Change::Restored);
    EXPECT_EQ(keeper.Check(t0 + milliseconds(600)), Change::None);
    EXPECT_EQ(Opens(), 1) << "the keeper reopened the old device over the user's choice";
    EXPECT_EQ(capture.DeviceIndex(), 0);
}

}  // namespace
}  // namespace quorvel
