// The emulated bus itself: what a monitor hears of it, its control socket, and the Tarn's DFU
// state machine as the real tool meets it.
#include "UsbBus.h"
#include "platform/standin/UniqueFd.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace tarn::integration {
namespace {

using std::chrono::minutes;

TEST(EmulatedBus, TheServicesMonitorHearsEachDeviceOnceUdevHasProcessedIt) {
    UsbBus bus;
    Child monitor(bus.under({TARN_USB_EVENTS}));
    // Raw sockets in the kernel's group and in udev's: all that the bus sends, as it sent it.
    Child kernel(bus.under({TARN_USB_EVENTS, "kernel"}));
    Child udev(bus.under({TARN_USB_EVENTS, "udev"}));
    std::string heard, fromKernel, fromUdev;
    ASSERT_TRUE(monitor.readUntil(heard, "ready\n", minutes(1))) << heard;
    ASSERT_TRUE(kernel.readUntil(fromKernel, "ready\n", minutes(1))) << fromKernel;
    ASSERT_TRUE(udev.readUntil(fromUdev, "ready\n", minutes(1))) << fromUdev;

    // udev is still busy with the Tarn when the mouse comes: the kernel has told of both
    // devices and their interfaces, udev of the mouse alone.
    bus.ctl({"plug", "SN0001", "fault.udev=held"});
    bus.ctl({"plug-other", "MOUSE01"});
    ASSERT_TRUE(monitor.readUntil(heard, "MOUSE01 1-2\n", minutes(1))) << heard;
    ASSERT_TRUE(kernel.readUntil(fromKernel, "bind usb_device 1-2 -\n", minutes(1))) << fromKernel;
    bus.ctl({"set", "SN0001", "fault.udev=none"});
    bus.ctl({"unplug", "SN0001"});
    bus.ctl({"unplug", "MOUSE01"});
    ASSERT_TRUE(monitor.readUntil(heard, "removal 046d:c52b MOUSE01 1-2\n", minutes(1))) << heard;
    EXPECT_EQ(heard, "ready\n"
                     "arrival 046d:c52b MOUSE01 1-2\n"
                     "arrival 7c3e:5710 SN0001 1-1\n"
                     "removal 7c3e:5710 SN0001 1-1\n"
                     "removal 046d:c52b MOUSE01 1-2\n");

    // The kernel tells of each device and its interface child, and never of what udev adds.
    const std::string kernelRemovals = "remove usb_interface 1-1:1.0 -\n"
                                       "unbind usb_device 1-1 -\n"
                                       "remove usb_device 1-1 -\n"
                                       "remove usb_interface 1-2:1.0 -\n"
                                       "unbind usb_device 1-2 -\n"
                                       "remove usb_device 1-2 -\n";
    ASSERT_TRUE(kernel.readUntil(fromKernel, kernelRemovals, minutes(1))) << fromKernel;
    EXPECT_EQ(fromKernel, "ready\n"
                          "add usb_device 1-1 -\n"
                          "add usb_interface 1-1:1.0 -\n"
                          "bind usb_device 1-1 -\n"
                          "add usb_device 1-2 -\n"
                          "add usb_interface 1-2:1.0 -\n"
                          "bind usb_device 1-2 -\n" +
                              kernelRemovals);
    // udev tells of the same, the held Tarn once released, with the serial on the device.
    const std::string udevMouseRemoval = "remove usb_interface 1-2:1.0 -\n"
                                         "unbind usb_device 1-2 MOUSE01\n"
                                         "remove usb_device 1-2 MOUSE01\n";
    ASSERT_TRUE(udev.readUntil(fromUdev, udevMouseRemoval, minutes(1))) << fromUdev;
    EXPECT_EQ(fromUdev, "ready\n"
                        "add usb_device 1-2 MOUSE01\n"
                        "add usb_interface 1-2:1.0 -\n"
                        "bind usb_device 1-2 MOUSE01\n"
                        "add usb_device 1-1 SN0001\n"
                        "add usb_interface 1-1:1.0 -\n"
                        "bind usb_device 1-1 SN0001\n"
                        "remove usb_interface 1-1:1.0 -\n"
                        "unbind usb_device 1-1 SN0001\n"
                        "remove usb_device 1-1 SN0001\n" +
                            udevMouseRemoval);
}

sockaddr_un addressOf(const std::filesystem::path& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.string().copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

// A raw control client, to misbehave as the bus's own client never does.
platform::standin::UniqueFd connectTo(const std::filesystem::path& socketPath) {
    platform::standin::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // A reply that never comes fails the test instead of holding it.
    const timeval limit{60, 0};
    EXPECT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    const sockaddr_un address = addressOf(socketPath);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

void sendAll(const platform::standin::UniqueFd& client, const std::string& text) {
    ASSERT_EQ(::send(client.get(), text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
}

TEST(EmulatedBus, ItsControlSocketOutlivesClientsThatVanishOrStall) {
    UsbBus bus;
    const auto control = bus.directory() / "control.sock";
    {
        // Gone before its reply: its command is carried out, the reply goes nowhere.
        const auto client = connectTo(control);
        ::shutdown(client.get(), SHUT_RD);
        sendAll(client, R"(["plug", "SN0001"])"
                        "\n");
    }
    EXPECT_TRUE(waitUntil([&] { return bus.device("SN0001")["present"] == "1"; }));

    // One slow to end its line holds up nobody, and is answered once it has ended it.
    const auto slow = connectTo(control);
    sendAll(slow, R"(["unplug", "SN0001")");
    bus.ctl({"plug", "SN0002"});
    EXPECT_EQ(bus.device("SN0002")["present"], "1");
    sendAll(slow, "]\n");
    std::string reply(16, '\0');
    reply.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, ::recv(slow.get(), reply.data(), reply.size(), MSG_WAITALL))));
    EXPECT_EQ(reply, "ok\n");
    EXPECT_EQ(bus.device("SN0001")["present"], "0");
}

// A bus that takes the connection and never answers: the control client gives up, and says so.
TEST(EmulatedBus, ItsControlClientGivesUpOnABusThatNeverAnswers) {
    const auto directory = makeTempDirectory("tarn-usb-silent");
    const platform::standin::UniqueFd silent(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(directory / "control.sock");
    ASSERT_EQ(::bind(silent.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent.get(), 1), 0);
    const CommandResult result =
        run({std::string(TARN_USB_TARN_DIR) + "/usb-tarn", "ctl", directory.string(), "show"},
            {"USB_TARN_REPLY_SECONDS=1"}, minutes(1));
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_EQ(result.output, "usb-tarn: the bus did not answer within 1 s\n");
    std::filesystem::remove_all(directory);
}

TEST(EmulatedTarn, AStalledDownloadLeavesItInDfuErrorUntilTheToolClearsIt) {
    SimulatorSysRoot sysroot;
    sysroot.makePackage("fw-0103.dfu", "0103");
    UsbBus bus;
    bus.ctl({"plug", "SN0001", "mode=dfu", "version=0102", "fault.stall=2"});
    const auto download = [&] {
        return bus.run({"dfu-util", "-d", "7c3e:5711", "-S", "SN0001", "-D",
                        (sysroot.services() / "fw-0103.dfu").string()});
    };

    const CommandResult stalled = download();
    EXPECT_NE(stalled.exitCode, 0);
    EXPECT_NE(stalled.output.find("Error during download"), std::string::npos) << stalled.output;
    auto device = bus.device("SN0001");
    EXPECT_EQ(device["dfuState"], "10");  // dfuERROR
    EXPECT_EQ(device["dfuStatus"], "15"); // errSTALLEDPKT

    // The next run finds the error, clears it and downloads.
    const CommandResult cleared = download();
    EXPECT_EQ(cleared.exitCode, 0) << cleared.output;
    EXPECT_NE(cleared.output.find("DFU state(10) = dfuERROR, status(15) = Device stalled an "
                                  "unexpected request\nClearing status\n"),
              std::string::npos)
        << cleared.output;
    EXPECT_TRUE(waitUntil([&] { return bus.device("SN0001")["version"] == "0103"; }));
}

} // namespace
} // namespace tarn::integration
