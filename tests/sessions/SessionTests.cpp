#include "EmulatedAmplifier.h"
#include "FakeDevice.h"
#include "FirmwareUpdateSession.h"
#include "JwUsbMidiDeviceFinder.h"
#include "JwUsbMidiH3.h"
#include "MessageLoop.h"
#include "SimulatorInstall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

using namespace sessiontest;
using namespace testing::internal;

namespace
{
// Answers each framed request on its own id with these operation bytes and body.
std::function<int (const Bytes&)> answer (FakeDevice& d, uint8_t op1, uint8_t op2, const Bytes& body)
{ return [&d, op1, op2, body] (const Bytes& m) { d.deliver (jw::VexaSeriesStackCodec (m[2], op1, op2).encode (body)); return 1; }; }

int freeIds (JwDevice& d) { int n = 0; while (d.AllocateSid() != -1) ++n; return n; }

// A firmware update against the fake bootloader, and what its callbacks saw.
struct Rig
{
    explicit Rig (size_t size = 1000) : image (makeImage (size))
    {
        s.fw_data_ = image.data(), s.fw_size_ = (int) image.size();
        s.progress_user_data_ = s.cb_user_data_ = this;
        s.progress_cb_ = [] (JwDevice*, FirmwareUpdateSession*, int p, void* r) { static_cast<Rig*> (r)->percents.push_back (p); };
        s.status_reset_cb_ = [] (JwDevice*, FirmwareUpdateSession*, void* r) { std::cout << "<reset>" << std::endl; return ++static_cast<Rig*> (r)->resets && static_cast<Rig*> (r)->resetOk; };
        s.finish_cb_ = [] (JwDevice*, FirmwareUpdateSession*, void* r) { std::cout << "<finished>" << std::endl; static_cast<Rig*> (r)->sentAtFinish = (int) static_cast<Rig*> (r)->d.sent().size(); return false; };
    }

    bool perform() { CaptureStdout(); const auto ok = s.Perform (target); out = GetCapturedStdout(); return ok; }

    // The flash holds the image and zero padding only.
    bool flashHoldsImage() const { auto padded = image; padded.resize ((image.size() + 255) / 256 * 256); return d.flash == padded; }

    FakeDevice d;
    JwDevice* target = &d;   // the device the update is given
    FirmwareUpdateSession s;
    Bytes image;
    std::vector<int> percents;
    std::string out;
    int resets = 0, resetOk = true, sentAtFinish = 0;   // sentAtFinish 0: no finish
};

struct TempDir
{
    TempDir() { std::filesystem::create_directories (path); }
    ~TempDir() { std::filesystem::remove_all (path); }
    std::string file (const char* name, const Bytes& b = {}) const { std::ofstream ((path / name).string(), std::ios::binary).write ((const char*) b.data(), (std::streamsize) b.size()); return (path / name).string(); }
    std::string fifo (const char* name) const { mkfifo ((path / name).c_str(), 0600); return (path / name).string(); }
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("tarvo-sessions-" + std::to_string (getpid()));
};
} // namespace

//==============================================================================
TEST (GenericSession, ExchangesOnTheOwnIdAndFailsCleanly)
{
    FakeDevice d;
    std::thread late;
    auto silent = std::make_shared<SerialNumberSession>();
    silent->timeout_ms_ = 200;
    const auto start = std::chrono::steady_clock::now();
    try { silent->Perform (&d); ADD_FAILURE() << "no time-out"; } catch (const std::runtime_error& e) { EXPECT_STREQ ("Device reading timeout", e.what()); }
    EXPECT_TRUE (std::chrono::steady_clock::now() - start >= std::chrono::milliseconds (200) && std::chrono::steady_clock::now() - start < std::chrono::seconds (2));

    // One for another id and one for this id with a wrong checksum first; the reply later, from another thread.
    d.responder = [&] (const Bytes& m)
    {
        d.deliver (jw::VexaSeriesStackCodec (9, 2, 35).encode ({ 'n', 'o' }));
        d.deliver ({ 0xF0, 0x01, m[2], 0x05, 0x02, 0x23, 0x00, 0x41, 0xF7 });
        late = std::thread ([&d, id = m[2]] { std::this_thread::sleep_for (std::chrono::milliseconds (50)); d.deliver (jw::VexaSeriesStackCodec (id, 2, 35).encode ({ 'A', 0, 0x80, 0xFF })); });
        return 1;
    };
    auto serial = std::make_shared<SerialNumberSession>();
    EXPECT_TRUE (serial->Perform (&d) && serial->reply_.value_ == std::string ("A\0\x80\xFF", 4) && serial->error_code_ == 0);
    late.join();

    // Other operation bytes than the reply's; an empty payload replaces what was there.
    d.responder = answer (d, 2, 35, {});
    auto extra = std::make_shared<ExtraInfoSession>();
    extra->reply_.value_ = "stale";
    EXPECT_TRUE (extra->Perform (&d) && extra->reply_.value_.empty());
    d.responder = answer (d, 9, 2, { 'o', 'k' });
    auto echo = std::make_shared<jw::GenericDeviceSession<jw::SessionOperationCode<9, 1>, bootloader::StdStringPacker, jw::SessionOperationCode<9, 2>, bootloader::StdStringPacker, true>> (std::string ("ping"));
    EXPECT_TRUE (echo->Perform (&d) && echo->reply_.value_ == "ok");
    EXPECT_EQ ((std::vector<Bytes> { { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23, 0xF7 }, { 0xF0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xF7 },
                                     { 0xF0, 0x01, 0x03, 0x00, 0x02, 0x11, 0xF7 }, jw::VexaSeriesStackCodec (4, 9, 1).encode ({ 'p', 'i', 'n', 'g' }) }), d.sent());

    // The packer writes a payload whole or not at all.
    uint8_t buf[5] = { 0xEE, 0xEE, 0xEE, 0xEE, 0xEE }, *out = nullptr;
    size_t outLen = 99;
    EXPECT_TRUE (! echo->request_.pack (buf, 3, &out, &outLen) && out == nullptr && outLen == 99 && buf[0] == 0xEE);
    EXPECT_TRUE ((echo->request_.pack (buf, 4, &out, &outLen) && out == buf && outLen == 4 && Bytes (buf, buf + 5) == Bytes { 'p', 'i', 'n', 'g', 0xEE }));

    // 1024 bytes fit the buffer (zero bytes keep the checksum 0); longer ones do not.
    for (const size_t size : { 1024, 1025, 2400 })
    {
        d.responder = [&] (const Bytes& m) { Bytes f { 0xF0, 1, m[2], 0, 2, 35 }; f.resize (size - 1); f.push_back (0xF7); d.deliver (f); return 1; };
        auto s = std::make_shared<SerialNumberSession>();
        s->reply_.value_ = "before";
        try { EXPECT_TRUE (s->Perform (&d) && size == 1024); } catch (const std::runtime_error&) { EXPECT_NE (1024u, size); }
        EXPECT_EQ (size == 1024 ? std::string (889, '\0') : "before", s->reply_.value_);
    }

    // Side by side from four threads, each answer on its own id.
    d.responder = [&] (const Bytes& m) { d.deliver (jw::VexaSeriesStackCodec (m[2], 2, 35).encode ({ m[2] })); return 1; };
    std::atomic<int> right { 0 };
    const auto work = [&] { for (int i = 0; i < 25; ++i) { auto s = std::make_shared<SerialNumberSession>(); right += s->Perform (&d) && s->reply_.value_[0] > 0; } };
    { const auto a = std::async (std::launch::async, work), b = std::async (std::launch::async, work), c = std::async (std::launch::async, work); work(); }
    EXPECT_EQ (std::make_tuple (100, 63, 0), std::make_tuple (right.load(), freeIds (d), silent->error_code_));   // all ids but the device's own are free

    const auto sentBefore = d.sent().size();
    auto s = std::make_shared<ExtraInfoSession>();
    EXPECT_TRUE (! s->Perform (nullptr) && s->error_code_ == 8);
    EXPECT_TRUE (! s->Perform (&d) && s->error_code_ == 10 && d.sent().size() == sentBefore);   // every id taken
    d.ReleaseSid (5);
    d.responder = answer (d, 3, 17, { 'o', 'k' });
    EXPECT_TRUE (s->Perform (&d));
    EXPECT_EQ (std::make_tuple (10, 5), std::make_tuple (s->error_code_, (int) d.sent().back()[2]));   // a success leaves the code
}

//==============================================================================
TEST (Bootloader, DownloadFirmwareVersionTakesItsReplyOrLeavesTheRecord)
{
    const std::string sending = "Sending GetFwInfo command\n", sent = sending + "Sent GetFwInfo command\n";
    auto shortRecord = Bytes { 'A', 'B', 'C', 'D', 1, 2, 3 }, longest = unpack7 (Bytes (501, 0x11)), untouched = Bytes (84, 0xAA);
    shortRecord.resize (84), longest.resize (84);
    const struct { std::vector<Bytes> replies; int sid, code; Bytes record; std::string out; } rows[] = {
        { { named ("RetWriteFlash", { 0, 0, 0, 0, 1 }), named ("RetFwStatus", { 1 }), named ("RetFwInfo", pack7 (sampleRecord())) }, 0, 0, sampleRecord(), sent },
        // A longer message of another name first: the short record must not borrow its bytes.
        { { named ("RetFwStatus", Bytes (400, 0x7F)), named ("RetFwInfo", pack7 ({ 'A', 'B', 'C', 'D', 1, 2, 3 })) }, 0, 0, shortRecord, sent },
        { { named ("RetFwInfo", Bytes (501, 0x11)) }, 0, 0, longest, sent },   // 512 bytes in all
        { { named ("RetFwInfo", pack7 (Bytes (84, 0))) }, 0, 0, Bytes (84, 0), sent },
        { {}, 0, 0, untouched, sending },   // the send fails
        { { named ("RetFwInfo", Bytes (600, 1)) }, 0, 0, untouched, sent + "Cannot read RetFwInfo data!\n" },
        { {}, -1, 10, untouched, "" },
        { {}, -2, 8, untouched, "" } };   // no device
    for (const auto& r : rows)
    {
        FakeDevice d;
        d.own_sid_ = std::max (r.sid, -1);
        d.responder = [&] (const Bytes&) { for (const auto& b : r.replies) d.deliver (b); return r.replies.empty() ? -1 : 1; };
        bootloader::DownloadFirmwareVersionSession s;
        std::memset (&s.fw_info_, 0xAA, 84);
        CaptureStdout();
        EXPECT_EQ (r.record != untouched, s.Perform (r.sid == -2 ? nullptr : &d));
        EXPECT_EQ (std::make_tuple (r.out, r.record, r.record != untouched, r.code, r.sid < 0 ? 0u : 1u),
                   std::make_tuple (GetCapturedStdout(), Bytes ((uint8_t*) &s.fw_info_, (uint8_t*) &s.fw_info_ + 84), s.hasFwInfo(), s.error_code_, d.sent().size()));
    }
}

TEST (Bootloader, ReplyWaitEndsWhileOtherRepliesKeepComing)
{
    // Another reply every 200 ms for six seconds: the wait still ends after its three.
    FakeDevice d;
    std::atomic<bool> stop { false };
    std::thread chatter ([&] { for (int i = 0; i < 30 && ! stop; ++i, std::this_thread::sleep_for (std::chrono::milliseconds (200))) d.deliver (named ("RetFwStatus", { 1 })); });
    uint8_t buf[512];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ (-1, bootloader::waitForReply (&d, d.own_sid_, "RetFwInfo", buf, sizeof (buf)));
    EXPECT_LT (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (5500));
    stop = true, chatter.join();
}

//==============================================================================
TEST (Update, WholeImageGoesOutInOrder)
{
    Rig r (708859);
    ASSERT_TRUE (r.perform()) << r.s.error_code_;
    const auto sent = r.d.sent();
    ASSERT_EQ (3u + 2769u + 1u, sent.size());
    EXPECT_EQ ((std::vector<Bytes> { named ("GetFwStatus"), named ("SetFwStatus", { 0 }), named ("GetFwInfo"), named ("SetFwStatus", { 1 }) }),
               (std::vector<Bytes> { sent[0], sent[1], sent[2], sent.back() }));
    for (size_t i = 0; i < 2769; ++i)
        ASSERT_TRUE (sent[3 + i].size() == 310 && hasName (sent[3 + i], "WriteFlash") && writeOffset (sent[3 + i]) == i * 256) << i;

    // The last block: 251 image bytes, zero padding, the sum of the image bytes only.
    Bytes block (r.image.end() - 251, r.image.end());
    block.resize (256), block.push_back ((uint8_t) std::accumulate (r.image.end() - 251, r.image.end(), 0));
    EXPECT_EQ (named ("WriteFlash", { 0x00, 0x20, 0x2B, 0x00 }, pack7 (block)), sent[2771]);

    // Progress once a block: 27 times 0, 1 after block 28, 100 at the end.
    ASSERT_TRUE (r.percents.size() == 2769 && std::is_sorted (r.percents.begin(), r.percents.end()));
    EXPECT_EQ (std::make_tuple (27L, 1, 99, 100), std::make_tuple (std::count (r.percents.begin(), r.percents.end(), 0), r.percents[27], r.percents[2767], r.percents.back()));
    // One reset; the finish after the final status; the caller's image stays the caller's.
    EXPECT_EQ (std::make_tuple (true, 1, (int) sent.size(), Bytes { 0, 1 }, r.image.data()), std::make_tuple (r.flashHoldsImage(), r.resets, r.sentAtFinish, r.d.statusesSet, r.s.fw_data_));

    std::string out = std::string ("Get FW SID: 0\nGet FW Status: 1\nSet FW Status as 0\n<reset>\nWill sleep for 0 ms\n"
                                   "Sending GetFwInfo command\nSent GetFwInfo command\nGot FW Info:\nDevice Name: EVT") + '\0'
                      + "\nBootloader Version: 0.9.200.255\nFW Version: 1.2.3.37\nFW Length: 177214\nChecksum: 1636642624\n";
    for (int i = 0; i < 8; ++i)
        out += "Sector len: " + std::to_string (i < 2 ? 4096 : i < 3 ? 16384 : 32768) + " & checksum: " + std::to_string (i * 0x01010101 - 2147483648LL) + "\n";
    EXPECT_EQ (out + "<finished>\n", r.out);
}

// Each run: the block at 512 refused once and resent; the reply for the block at 256 comes
// late, as when the amplifier erases a flash sector first.
TEST (Update, RefusedBlockIsResentOnceLateRepliesAreTakenAndOnlyStatusOneIsReset)
{
    TempDir dir;
    for (const int status : { 0, 2, 1 })
    {
        SCOPED_TRACE (status);
        Rig r;
        r.d.status = status, r.d.refuse = std::string ("WriteFlash\0\4", 12), r.d.refusals = 1;
        r.d.lateReplyTo = std::string ("WriteFlash\0\2", 12);
        r.s.load_from_file_ = status == 2, r.s.fw_path_ = dir.file ("fw.bin", r.image);
        r.s.settle_delay_ms_ = status == 1 ? 20 : 0, r.s.block_delay_ms_ = status == 1 ? 5 : 0;
        if (status == 1)
            r.s.progress_cb_ = nullptr, r.s.status_reset_cb_ = r.s.finish_cb_ = nullptr;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE (r.perform()) << r.s.error_code_;
        EXPECT_GE (std::chrono::steady_clock::now() - start, std::chrono::milliseconds (300 + (status == 1 ? 3 * 20 + 5 * 5 : 0)));
        const auto sent = r.d.sent();
        const int resent = status == 1 ? 5 : 4;
        EXPECT_TRUE (sent[resent] == sent[resent + 1] && writeOffset (sent[resent]) == 512);
        // A loaded image is released.
        EXPECT_EQ (std::make_tuple (true, 0, resent + 4, status == 1 ? Bytes { 0, 1 } : Bytes { 1 }, status == 1 ? 0 : resent + 4, status == 2),
                   std::make_tuple (r.flashHoldsImage(), r.resets, (int) sent.size(), r.d.statusesSet, r.sentAtFinish, r.s.fw_data_ == nullptr && r.s.fw_size_ == 0));
        EXPECT_EQ ((status == 1 ? std::vector<int>() : std::vector<int> { 25, 51, 76, 100 }), r.percents);
        EXPECT_EQ (0u, r.out.find ("Get FW SID: 0\nGet FW Status: " + std::to_string (status) + "\n"
                                   + (status == 1 ? "Set FW Status as 0\nWill sleep for 20 ms\n" : "Will sleep for 0 ms\n")));
    }
}

TEST (Update, EveryFailureHasItsCodeAndStopsBeforeTheFinalStatus)
{
    TempDir dir;
    const auto file = [&] (Rig& r, std::string path) { r.s.load_from_file_ = true; r.s.fw_path_ = path; };
    const struct { int code; size_t sent, percents; std::function<void (Rig&)> setUp; } rows[] = {
        { 8, 0, 0, [] (Rig& r) { r.target = nullptr; } },
        { 10, 0, 0, [] (Rig& r) { r.d.own_sid_ = -1; } },
        { 11, 1, 0, [] (Rig& r) { r.d.failSend = "GetFwStatus"; } },
        { 11, 1, 0, [] (Rig& r) { r.d.badReplyTo = "GetFwStatus"; r.d.badReply = named ("RetFwStatus"); } },
        { 11, 1, 0, [] (Rig& r) { r.d.badReplyTo = "GetFwStatus"; r.d.badReply = named ("RetFwStatus", Bytes (600, 1)); } },
        { 12, 2, 0, [] (Rig& r) { r.d.failSend = std::string ("SetFwStatus") + '\0'; } },
        { 12, 8, 4, [] (Rig& r) { r.d.failSend = "SetFwStatus\1"; } },
        { 13, 2, 0, [] (Rig& r) { r.resetOk = false; } },
        { 14, 3, 0, [] (Rig& r) { r.d.failSend = "GetFwInfo"; } },
        { 14, 3, 0, [] (Rig& r) { r.d.badReplyTo = "GetFwInfo"; r.d.badReply = named ("RetFwInfo", Bytes (600, 1)); } },
        { 15, 0, 0, [] (Rig& r) { r.s.fw_size_ = -1; } },
        { 15, 0, 0, [] (Rig& r) { r.s.fw_size_ = 0; } },
        { 15, 0, 0, [] (Rig& r) { r.s.fw_data_ = nullptr; } },
        { 15, 0, 0, [] (Rig& r) { r.s.fw_size_ = 1 << 28; } },   // its buffer is small: it must not be read
        { 15, 0, 0, [&] (Rig& r) { file (r, (dir.path / "missing.bin").string()); } },
        { 15, 0, 0, [&] (Rig& r) { file (r, dir.path.string()); } },
        { 15, 0, 0, [&] (Rig& r) { file (r, dir.file ("empty.bin")); } },
        { 15, 0, 0, [&] (Rig& r) { file (r, dir.fifo ("fifo.bin")); } },   // no writer: opening it must not wait for one
        { 15, 0, 0, [&] (Rig& r) { file (r, "/dev/null"); } },
        { 15, 0, 0, [&] (Rig& r) { file (r, dir.file ("huge.bin")); std::filesystem::resize_file (r.s.fw_path_, 1 << 28); } },
        { 16, 4, 0, [] (Rig& r) { r.d.failSend = "WriteFlash"; } },
        { 16, 7, 2, [&] (Rig& r) { r.d.refuse = std::string ("WriteFlash\0\4", 12); r.d.refusals = 2; file (r, dir.file ("fw.bin", r.image)); } },
        { 16, 6, 1, [&] (Rig& r) { r.d.badReplyTo = std::string ("WriteFlash\0\2", 12); r.d.badReply = named ("RetWriteFlash", { 1, 1, 1, 1 }); } },   // resent
        { 16, 6, 2, [&] (Rig& r) { r.d.badReplyTo = std::string ("WriteFlash\0\4", 12); r.d.badReply = named ("RetWriteFlash", Bytes (600, 1)); } } };   // not resent
    for (const auto& row : rows)
    {
        SCOPED_TRACE (&row - rows);
        Rig r;
        row.setUp (r);
        r.d.deliver (named ("RetWriteFlash", { 0, 0, 0, 0, 1 }));   // answers no block: the first wait drops it
        EXPECT_FALSE (r.perform());
        // A loaded image is released, and so is an old one on a failed load.
        EXPECT_EQ (std::make_tuple (row.code, row.sent, row.percents, 0L, 0, row.sent == 0, true),
                   std::make_tuple (r.s.error_code_, r.d.sent().size(), r.percents.size(), std::count (r.d.statusesSet.begin(), r.d.statusesSet.end(), 1), r.sentAtFinish,
                                    r.out.empty(), ! r.s.load_from_file_ || (r.s.fw_data_ == nullptr && r.s.fw_size_ == 0)));
    }
}

//==============================================================================
// The whole update over the real transport, from a worker while the message loop runs, as the
// window does it: a refused block is resent, and the amplifier restarts twice to come back
// running the new image.
TEST (UpdateIntegration, WholeUpdateReplacesTheFlashAndTheVersion)
{
    sim::EmulatedAmplifier::Config config;
    config.flash = makeImage (40000, 777), config.restartTimeMs = 100;
    sim::EmulatedAmplifier amplifier (sim::installSimulator(), config);
    JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
    JwUsbMidiH3 device (reinterpret_cast<const char*> (config.deviceId.data()));
    ASSERT_TRUE (JwUsbMidiDeviceFinder::GetDescriptors().size() == 1 && device.Open());

    const auto image = makeImage (708859);
    FirmwareUpdateSession update;
    update.fw_data_ = image.data(), update.fw_size_ = (int) image.size();
    update.cb_user_data_ = &amplifier;
    // Close, wait until the amplifier has restarted (a short restart may be over before we
    // look: the count tells) and its ports are back, open again.
    update.status_reset_cb_ = update.finish_cb_ = [] (JwDevice* device, FirmwareUpdateSession*, void* a)
    {
        auto& amp = *static_cast<sim::EmulatedAmplifier*> (a);
        const auto restartsBefore = amp.getNumRestarts();
        device->Close();
        return (amp.waitUntilPlugged (false, 2000) || amp.getNumRestarts() > restartsBefore) && amp.waitUntilPlugged (true, 10000) && device->Open();
    };
    amplifier.refuseBlockOnce (3);
    CaptureStdout();
    const auto ok = testing_support::runOnWorker ([&] { return update.Perform (&device); });
    bootloader::DownloadFirmwareVersionSession read;
    const auto readOk = read.Perform (&device);
    const auto output = GetCapturedStdout();
    ASSERT_TRUE (ok && readOk) << update.error_code_ << "\n" << output;

    EXPECT_TRUE (amplifier.flashEquals (image));
    const auto received = amplifier.getReceivedMessages();
    EXPECT_EQ (std::make_tuple (2770L, 2769, 1, false, 2), std::make_tuple (std::count_if (received.begin(), received.end(), [] (const Bytes& m) { return hasName (m, "WriteFlash"); }),
                   amplifier.getNumWriteFlashBlocksAccepted(), (int) amplifier.getFirmwareStatus(), amplifier.isInBootloaderMode(), amplifier.getNumRestarts()));
    EXPECT_EQ (0u, output.find ("Get FW SID: 0\nGet FW Status: 1\nSet FW Status as 0\nWill sleep for 0 ms\n"));
    EXPECT_EQ (Bytes (image.begin() + 0x408, image.begin() + 0x40C), Bytes (read.fw_info_.fw_version, read.fw_info_.fw_version + 4));
}
