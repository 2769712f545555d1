// Guards the device sessions against the fake device of FakeDevice.h (the test is the
// transport): the generic request and reply on a session id of its own, the firmware
// description read, the bootloader's reply wait, and the firmware update with its order, its
// output and an error code for each failure. The last case runs the whole update over the real
// transport against the simulator's emulated amplifier.
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
#include <sys/stat.h>
#include <unistd.h>

using namespace sessiontest;
using namespace testing::internal;

namespace
{
using Clock = std::chrono::steady_clock;

long long millisecondsSince (Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds> (Clock::now() - start).count();
}

// For comparing pointers to bytes: GoogleTest would print them as C strings.
const void* address (const uint8_t* p)
{
    return p;
}

// Answers each framed request on its own id with these operation bytes and body.
std::function<int (const Bytes&)> answer (FakeDevice& d, uint8_t op1, uint8_t op2,
                                          const Bytes& body)
{
    return [&d, op1, op2, body] (const Bytes& m)
    {
        d.deliver (jw::VexaSeriesStackCodec (m[2], op1, op2).encode (body));
        return 1;
    };
}

// Takes every free id: none is left afterwards.
int freeIds (JwDevice& d)
{
    int n = 0;

    while (d.AllocateSid() != -1)
        ++n;

    return n;
}

// A firmware update against the fake bootloader, and what its callbacks saw.
struct Rig
{
    explicit Rig (size_t size = 1000)
        : image (makeImage (size))
    {
        s.fw_data_ = image.data();
        s.fw_size_ = (int) image.size();
        s.progress_user_data_ = this;
        s.cb_user_data_ = this;

        s.progress_cb_ = [] (JwDevice*, FirmwareUpdateSession*, int p, void* r)
        {
            static_cast<Rig*> (r)->percents.push_back (p);
        };

        s.status_reset_cb_ = [] (JwDevice*, FirmwareUpdateSession*, void* r)
        {
            auto& rig = *static_cast<Rig*> (r);
            std::cout << "<reset>" << std::endl;
            ++rig.resets;
            return rig.resetOk;
        };

        s.finish_cb_ = [] (JwDevice*, FirmwareUpdateSession*, void* r)
        {
            auto& rig = *static_cast<Rig*> (r);
            std::cout << "<finished>" << std::endl;
            rig.sentAtFinish = (int) rig.d.sent().size();
            return false;
        };
    }

    bool perform()
    {
        CaptureStdout();
        const auto ok = s.Perform (target);
        out = GetCapturedStdout();
        return ok;
    }

    // The flash holds the image and zero padding only.
    bool flashHoldsImage() const
    {
        auto padded = image;
        padded.resize ((image.size() + 255) / 256 * 256);
        return d.flash == padded;
    }

    FakeDevice d;
    JwDevice* target = &d;   // the device the update is given
    FirmwareUpdateSession s;
    Bytes image;
    std::vector<int> percents;
    std::string out;
    int resets = 0;
    bool resetOk = true;
    int sentAtFinish = 0;   // 0: no finish
};

// The reply to the messages starting with these bytes is this one instead.
std::function<void (Rig&)> badReply (const std::string& to, const Bytes& reply)
{
    return [to, reply] (Rig& r)
    {
        r.d.badReplyTo = to;
        r.d.badReply = reply;
    };
}

struct TempDir
{
    TempDir()
    {
        std::filesystem::create_directories (path);
    }

    ~TempDir()
    {
        std::filesystem::remove_all (path);
    }

    // A file of these bytes; its path.
    std::string file (const char* name, const Bytes& b = {}) const
    {
        const auto where = (path / name).string();
        std::ofstream (where, std::ios::binary)
            .write ((const char*) b.data(), (std::streamsize) b.size());
        return where;
    }

    std::string fifo (const char* name) const
    {
        // Without the FIFO the row would only try a missing file again.
        EXPECT_EQ (mkfifo ((path / name).c_str(), 0600), 0) << name;
        return (path / name).string();
    }

    std::filesystem::path path = std::filesystem::temp_directory_path()
                                 / ("tarvo-sessions-" + std::to_string (getpid()));
};
} // namespace

//==============================================================================
TEST (GenericSession, ExchangesOnTheOwnIdAndFailsCleanly)
{
    FakeDevice d;
    std::thread late;

    // No reply: a time-out, thrown after timeout_ms_.
    auto silent = std::make_shared<SerialNumberSession>();
    silent->timeout_ms_ = 200;
    const auto start = Clock::now();

    try
    {
        silent->Perform (&d);
        ADD_FAILURE() << "no time-out";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ ("Device reading timeout", e.what());
    }

    EXPECT_GE (millisecondsSince (start), 200);
    EXPECT_LT (millisecondsSince (start), 2000);

    // One for another id and one for this id with a wrong checksum first; the reply later, from
    // another thread.
    d.responder = [&] (const Bytes& m)
    {
        d.deliver (jw::VexaSeriesStackCodec (9, 2, 35).encode ({ 'n', 'o' }));
        d.deliver ({ 0xF0, 0x01, m[2], 0x05, 0x02, 0x23, 0x00, 0x41, 0xF7 });

        late = std::thread ([&d, id = m[2]]
        {
            std::this_thread::sleep_for (std::chrono::milliseconds (50));
            d.deliver (jw::VexaSeriesStackCodec (id, 2, 35).encode ({ 'A', 0, 0x80, 0xFF }));
        });

        return 1;
    };
    auto serial = std::make_shared<SerialNumberSession>();
    EXPECT_TRUE (serial->Perform (&d));
    EXPECT_EQ (std::string ("A\0\x80\xFF", 4), serial->reply_.value_);
    EXPECT_EQ (0, serial->error_code_);
    late.join();

    // Other operation bytes than the reply's; an empty payload replaces what was there.
    d.responder = answer (d, 2, 35, {});
    auto extra = std::make_shared<ExtraInfoSession>();
    extra->reply_.value_ = "stale";
    EXPECT_TRUE (extra->Perform (&d));
    EXPECT_EQ ("", extra->reply_.value_);

    using EchoSession = jw::GenericDeviceSession<jw::SessionOperationCode<9, 1>,
                                                 bootloader::StdStringPacker,
                                                 jw::SessionOperationCode<9, 2>,
                                                 bootloader::StdStringPacker,
                                                 true>;
    d.responder = answer (d, 9, 2, { 'o', 'k' });
    auto echo = std::make_shared<EchoSession> (std::string ("ping"));
    EXPECT_TRUE (echo->Perform (&d));
    EXPECT_EQ ("ok", echo->reply_.value_);

    // Each request on the next id: the silent one, the serial number, the extra information.
    const std::vector<Bytes> requests {
        { 0xF0, 0x01, 0x01, 0x00, 0x02, 0x23, 0xF7 },
        { 0xF0, 0x01, 0x02, 0x00, 0x02, 0x23, 0xF7 },
        { 0xF0, 0x01, 0x03, 0x00, 0x02, 0x11, 0xF7 },
        jw::VexaSeriesStackCodec (4, 9, 1).encode ({ 'p', 'i', 'n', 'g' }),
    };
    EXPECT_EQ (requests, d.sent());

    // The packer writes a payload whole or not at all.
    uint8_t buf[5] = { 0xEE, 0xEE, 0xEE, 0xEE, 0xEE };
    uint8_t* out = nullptr;
    size_t outLen = 99;
    EXPECT_FALSE (echo->request_.pack (buf, 3, &out, &outLen));
    EXPECT_EQ (nullptr, address (out));
    EXPECT_EQ (99u, outLen);
    EXPECT_EQ (0xEE, buf[0]);

    EXPECT_TRUE (echo->request_.pack (buf, 4, &out, &outLen));
    EXPECT_EQ (address (buf), address (out));
    EXPECT_EQ (4u, outLen);
    EXPECT_EQ ((Bytes { 'p', 'i', 'n', 'g', 0xEE }), Bytes (buf, buf + 5));

    // 1024 bytes fit the buffer (zero bytes keep the checksum 0); longer ones do not.
    for (const size_t size : { 1024, 1025, 2400 })
    {
        SCOPED_TRACE (size);

        d.responder = [&] (const Bytes& m)
        {
            Bytes frame { 0xF0, 1, m[2], 0, 2, 35 };
            frame.resize (size - 1);
            frame.push_back (0xF7);
            d.deliver (frame);
            return 1;
        };

        auto s = std::make_shared<SerialNumberSession>();
        s->reply_.value_ = "before";

        if (size == 1024)
        {
            bool ok = false;
            EXPECT_NO_THROW (ok = s->Perform (&d));
            EXPECT_TRUE (ok);
            EXPECT_EQ (std::string (889, '\0'), s->reply_.value_);
        }
        else
        {
            EXPECT_THROW (s->Perform (&d), std::runtime_error);
            EXPECT_EQ ("before", s->reply_.value_);
        }
    }

    // Side by side from four threads, each answer on its own id.
    d.responder = [&] (const Bytes& m)
    {
        d.deliver (jw::VexaSeriesStackCodec (m[2], 2, 35).encode ({ m[2] }));
        return 1;
    };

    std::atomic<int> right { 0 };

    const auto work = [&]
    {
        for (int i = 0; i < 25; ++i)
        {
            auto s = std::make_shared<SerialNumberSession>();

            if (s->Perform (&d) && s->reply_.value_[0] > 0)
                ++right;
        }
    };

    {
        const auto a = std::async (std::launch::async, work);
        const auto b = std::async (std::launch::async, work);
        const auto c = std::async (std::launch::async, work);
        work();
    }

    EXPECT_EQ (100, right.load());
    EXPECT_EQ (63, freeIds (d));   // all ids but the device's own are free; now they are taken
    EXPECT_EQ (0, silent->error_code_);

    const auto sentBefore = d.sent().size();
    auto s = std::make_shared<ExtraInfoSession>();
    EXPECT_FALSE (s->Perform (nullptr));
    EXPECT_EQ (8, s->error_code_);
    EXPECT_FALSE (s->Perform (&d));   // every id taken
    EXPECT_EQ (10, s->error_code_);
    EXPECT_EQ (sentBefore, d.sent().size());

    d.ReleaseSid (5);
    d.responder = answer (d, 3, 17, { 'o', 'k' });
    EXPECT_TRUE (s->Perform (&d));
    EXPECT_EQ (10, s->error_code_);   // a success leaves the code
    EXPECT_EQ (5, (int) d.sent().back()[2]);
}

//==============================================================================
TEST (Bootloader, DownloadFirmwareVersionTakesItsReplyOrLeavesTheRecord)
{
    const std::string sending = "Sending GetFwInfo command\n";
    const std::string sent = sending + "Sent GetFwInfo command\n";
    auto shortRecord = Bytes { 'A', 'B', 'C', 'D', 1, 2, 3 };
    shortRecord.resize (84);
    auto longest = unpack7 (Bytes (501, 0x11));
    longest.resize (84);
    const auto untouched = Bytes (84, 0xAA);

    const struct
    {
        std::vector<Bytes> replies;   // delivered on the send; none: the send fails
        int sid;                      // the device's own id; -2: no device
        int code;
        Bytes record;                 // untouched: no record taken
        std::string out;
    } rows[] = {
        { { named ("RetWriteFlash", { 0, 0, 0, 0, 1 }), named ("RetFwStatus", { 1 }),
            named ("RetFwInfo", pack7 (sampleRecord())) },
          0, 0, sampleRecord(), sent },
        // A longer message of another name first: the short record must not borrow its bytes.
        { { named ("RetFwStatus", Bytes (400, 0x7F)),
            named ("RetFwInfo", pack7 ({ 'A', 'B', 'C', 'D', 1, 2, 3 })) },
          0, 0, shortRecord, sent },
        { { named ("RetFwInfo", Bytes (501, 0x11)) }, 0, 0, longest, sent },   // 512 bytes in all
        { { named ("RetFwInfo", pack7 (Bytes (84, 0))) }, 0, 0, Bytes (84, 0), sent },
        { {}, 0, 0, untouched, sending },   // the send fails
        { { named ("RetFwInfo", Bytes (600, 1)) },
          0, 0, untouched, sent + "Cannot read RetFwInfo data!\n" },
        { {}, -1, 10, untouched, "" },
        { {}, -2, 8, untouched, "" },   // no device
    };

    for (const auto& r : rows)
    {
        SCOPED_TRACE (&r - rows);
        FakeDevice d;
        d.own_sid_ = std::max (r.sid, -1);

        d.responder = [&] (const Bytes&)
        {
            for (const auto& b : r.replies)
                d.deliver (b);

            return r.replies.empty() ? -1 : 1;
        };

        bootloader::DownloadFirmwareVersionSession s;
        std::memset (&s.fw_info_, 0xAA, 84);
        CaptureStdout();
        EXPECT_EQ (r.record != untouched, s.Perform (r.sid == -2 ? nullptr : &d));
        EXPECT_EQ (r.out, GetCapturedStdout());
        EXPECT_EQ (r.record, Bytes ((uint8_t*) &s.fw_info_, (uint8_t*) &s.fw_info_ + 84));
        EXPECT_EQ (r.record != untouched, s.hasFwInfo());
        EXPECT_EQ (r.code, s.error_code_);
        EXPECT_EQ (r.sid < 0 ? 0u : 1u, d.sent().size());
    }
}

TEST (Bootloader, ReplyWaitEndsWhileOtherRepliesKeepComing)
{
    // Another reply every 200 ms for six seconds: the wait still ends after its three.
    FakeDevice d;
    std::atomic<bool> stop { false };

    std::thread chatter ([&]
    {
        for (int i = 0; i < 30 && ! stop; ++i)
        {
            d.deliver (named ("RetFwStatus", { 1 }));
            std::this_thread::sleep_for (std::chrono::milliseconds (200));
        }
    });

    uint8_t buf[512];
    const auto start = Clock::now();
    EXPECT_EQ (-1, bootloader::waitForReply (&d, d.own_sid_, "RetFwInfo", buf, sizeof (buf)));
    EXPECT_LT (millisecondsSince (start), 5500);
    stop = true;
    chatter.join();
}

//==============================================================================
TEST (Update, WholeImageGoesOutInOrder)
{
    Rig r (708859);
    ASSERT_TRUE (r.perform()) << r.s.error_code_;
    const auto sent = r.d.sent();
    ASSERT_EQ (3u + 2769u + 1u, sent.size());

    const std::vector<Bytes> statusAndDescription {
        named ("GetFwStatus"),
        named ("SetFwStatus", { 0 }),
        named ("GetFwInfo"),
        named ("SetFwStatus", { 1 }),
    };
    EXPECT_EQ (statusAndDescription,
               (std::vector<Bytes> { sent[0], sent[1], sent[2], sent.back() }));

    for (size_t i = 0; i < 2769; ++i)
    {
        const auto& message = sent[3 + i];
        ASSERT_EQ (310u, message.size()) << i;
        ASSERT_TRUE (hasName (message, "WriteFlash")) << i;
        ASSERT_EQ (i * 256, writeOffset (message)) << i;
    }

    // The last block: 251 image bytes, zero padding, the sum of the image bytes only.
    Bytes block (r.image.end() - 251, r.image.end());
    block.resize (256);
    block.push_back ((uint8_t) std::accumulate (r.image.end() - 251, r.image.end(), 0));
    EXPECT_EQ (named ("WriteFlash", { 0x00, 0x20, 0x2B, 0x00 }, pack7 (block)), sent[2771]);

    // Progress once a block: 27 times 0, 1 after block 28, 100 at the end.
    ASSERT_EQ (2769u, r.percents.size());
    ASSERT_TRUE (std::is_sorted (r.percents.begin(), r.percents.end()));
    EXPECT_EQ (27, std::count (r.percents.begin(), r.percents.end(), 0));
    EXPECT_EQ (1, r.percents[27]);
    EXPECT_EQ (99, r.percents[2767]);
    EXPECT_EQ (100, r.percents.back());

    // One reset; the finish after the final status; the caller's image stays the caller's.
    EXPECT_TRUE (r.flashHoldsImage());
    EXPECT_EQ (1, r.resets);
    EXPECT_EQ ((int) sent.size(), r.sentAtFinish);
    EXPECT_EQ ((Bytes { 0, 1 }), r.d.statusesSet);
    EXPECT_EQ (address (r.image.data()), address (r.s.fw_data_));

    std::string out = "Get FW SID: 0\n"
                      "Get FW Status: 1\n"
                      "Set FW Status as 0\n"
                      "<reset>\n"
                      "Will sleep for 0 ms\n"
                      "Sending GetFwInfo command\n"
                      "Sent GetFwInfo command\n"
                      "Got FW Info:\n"
                      "Device Name: EVT";
    out += '\0';
    out += "\n"
           "Bootloader Version: 0.9.200.255\n"
           "FW Version: 1.2.3.37\n"
           "FW Length: 177214\n"
           "Checksum: 1636642624\n";

    for (int i = 0; i < 8; ++i)
    {
        const auto length = i < 2 ? 4096 : i < 3 ? 16384 : 32768;
        const auto checksum = i * 0x01010101 - 2147483648LL;
        out += "Sector len: " + std::to_string (length)
             + " & checksum: " + std::to_string (checksum) + "\n";
    }

    EXPECT_EQ (out + "<finished>\n", r.out);
}

// Each run: the block at 512 refused once and resent; the reply for the block at 256 comes
// late, as when the amplifier erases a flash sector first: 300 ms, and in the last run 2500 ms,
// late in the wait of 3 s for a reply, and still taken.
TEST (Update, RefusedBlockIsResentOnceLateRepliesAreTakenAndOnlyStatusOneIsReset)
{
    TempDir dir;
    const struct
    {
        int status;
        int lateMs;
    } runs[] = { { 0, 300 }, { 2, 300 }, { 1, 300 }, { 0, 2500 } };

    for (const auto& run : runs)
    {
        const auto status = run.status;
        SCOPED_TRACE ("status " + std::to_string (status)
                      + ", reply " + std::to_string (run.lateMs) + " ms late");
        Rig r;
        r.d.status = status;
        r.d.refuse = std::string ("WriteFlash\0\4", 12);
        r.d.refusals = 1;
        r.d.lateReplyTo = std::string ("WriteFlash\0\2", 12);
        r.d.lateReplyMs = run.lateMs;
        r.s.load_from_file_ = status == 2;
        r.s.fw_path_ = dir.file ("fw.bin", r.image);
        r.s.settle_delay_ms_ = status == 1 ? 20 : 0;
        r.s.block_delay_ms_ = status == 1 ? 5 : 0;

        if (status == 1)
        {
            r.s.progress_cb_ = nullptr;
            r.s.status_reset_cb_ = nullptr;
            r.s.finish_cb_ = nullptr;
        }

        const auto start = Clock::now();
        ASSERT_TRUE (r.perform()) << r.s.error_code_;
        EXPECT_GE (millisecondsSince (start), run.lateMs + (status == 1 ? 3 * 20 + 5 * 5 : 0));

        const auto sent = r.d.sent();
        const int resent = status == 1 ? 5 : 4;
        ASSERT_GT (sent.size(), (size_t) resent + 1);
        EXPECT_EQ (sent[resent], sent[resent + 1]);
        EXPECT_EQ (512u, writeOffset (sent[resent]));

        EXPECT_TRUE (r.flashHoldsImage());
        EXPECT_EQ (0, r.resets);
        EXPECT_EQ (resent + 4, (int) sent.size());
        EXPECT_EQ ((status == 1 ? Bytes { 0, 1 } : Bytes { 1 }), r.d.statusesSet);
        EXPECT_EQ (status == 1 ? 0 : resent + 4, r.sentAtFinish);

        if (status == 2)
        {
            // A loaded image is released.
            EXPECT_EQ (nullptr, address (r.s.fw_data_));
            EXPECT_EQ (0, r.s.fw_size_);
        }
        else
        {
            // The caller's image stays the caller's.
            EXPECT_EQ (address (r.image.data()), address (r.s.fw_data_));
            EXPECT_EQ ((int) r.image.size(), r.s.fw_size_);
        }

        const auto percents = status == 1 ? std::vector<int>() : std::vector<int> { 25, 51, 76, 100 };
        EXPECT_EQ (percents, r.percents);
        EXPECT_EQ (0u, r.out.find ("Get FW SID: 0\nGet FW Status: " + std::to_string (status) + "\n"
                                   + (status == 1 ? "Set FW Status as 0\nWill sleep for 20 ms\n"
                                                  : "Will sleep for 0 ms\n")));
    }
}

TEST (Update, EveryFailureHasItsCodeAndStopsBeforeTheFinalStatus)
{
    TempDir dir;

    const auto file = [&] (Rig& r, std::string path)
    {
        r.s.load_from_file_ = true;
        r.s.fw_path_ = path;
    };

    const auto block256 = std::string ("WriteFlash\0\2", 12);
    const auto block512 = std::string ("WriteFlash\0\4", 12);

    const struct
    {
        int code;
        size_t sent;       // messages sent
        size_t percents;   // progress calls
        std::function<void (Rig&)> setUp;
    } rows[] = {
        { 8, 0, 0, [] (Rig& r) { r.target = nullptr; } },
        { 10, 0, 0, [] (Rig& r) { r.d.own_sid_ = -1; } },
        { 11, 1, 0, [] (Rig& r) { r.d.failSend = "GetFwStatus"; } },
        { 11, 1, 0, badReply ("GetFwStatus", named ("RetFwStatus")) },
        { 11, 1, 0, badReply ("GetFwStatus", named ("RetFwStatus", Bytes (600, 1))) },
        { 12, 2, 0, [] (Rig& r) { r.d.failSend = std::string ("SetFwStatus") + '\0'; } },
        { 12, 8, 4, [] (Rig& r) { r.d.failSend = "SetFwStatus\1"; } },
        { 13, 2, 0, [] (Rig& r) { r.resetOk = false; } },
        { 14, 3, 0, [] (Rig& r) { r.d.failSend = "GetFwInfo"; } },
        { 14, 3, 0, badReply ("GetFwInfo", named ("RetFwInfo", Bytes (600, 1))) },
        { 15, 0, 0, [] (Rig& r) { r.s.fw_size_ = -1; } },
        { 15, 0, 0, [] (Rig& r) { r.s.fw_size_ = 0; } },
        { 15, 0, 0, [] (Rig& r) { r.s.fw_data_ = nullptr; } },
        // Its buffer is small: it must not be read.
        { 15, 0, 0, [] (Rig& r) { r.s.fw_size_ = 1 << 28; } },
        { 15, 0, 0, [&] (Rig& r) { file (r, (dir.path / "missing.bin").string()); } },
        { 15, 0, 0, [&] (Rig& r) { file (r, dir.path.string()); } },
        { 15, 0, 0, [&] (Rig& r) { file (r, dir.file ("empty.bin")); } },
        // No writer: opening it must not wait for one.
        { 15, 0, 0, [&] (Rig& r) { file (r, dir.fifo ("fifo.bin")); } },
        { 15, 0, 0, [&] (Rig& r) { file (r, "/dev/null"); } },
        { 15, 0, 0, [&] (Rig& r)
          {
              file (r, dir.file ("huge.bin"));
              std::filesystem::resize_file (r.s.fw_path_, 1 << 28);
          } },
        { 16, 4, 0, [] (Rig& r) { r.d.failSend = "WriteFlash"; } },
        { 16, 7, 2, [&] (Rig& r)
          {
              r.d.refuse = block512;
              r.d.refusals = 2;
              file (r, dir.file ("fw.bin", r.image));
          } },
        { 16, 6, 1, badReply (block256, named ("RetWriteFlash", { 1, 1, 1, 1 })) },   // resent
        { 16, 6, 2, badReply (block512, named ("RetWriteFlash", Bytes (600, 1))) },   // not resent
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (&row - rows);
        Rig r;
        row.setUp (r);
        // Answers no block: the first wait drops it.
        r.d.deliver (named ("RetWriteFlash", { 0, 0, 0, 0, 1 }));
        EXPECT_FALSE (r.perform());
        EXPECT_EQ (row.code, r.s.error_code_);
        EXPECT_EQ (row.sent, r.d.sent().size());
        EXPECT_EQ (row.percents, r.percents.size());
        // No final status, no finish.
        EXPECT_EQ (0, std::count (r.d.statusesSet.begin(), r.d.statusesSet.end(), 1));
        EXPECT_EQ (0, r.sentAtFinish);
        EXPECT_EQ (row.sent == 0, r.out.empty());

        // A loaded image is released, and so is an old one on a failed load.
        if (r.s.load_from_file_)
        {
            EXPECT_EQ (nullptr, address (r.s.fw_data_));
            EXPECT_EQ (0, r.s.fw_size_);
        }
    }
}

//==============================================================================
// The whole update over the real transport, from a worker while the message loop runs, as the
// window does it: a refused block is resent, and the amplifier restarts twice to come back
// running the new image.
TEST (UpdateIntegration, WholeUpdateReplacesTheFlashAndTheVersion)
{
    sim::EmulatedAmplifier::Config config;
    config.flash = makeImage (40000, 777);
    config.restartTimeMs = 100;
    sim::EmulatedAmplifier amplifier (sim::installSimulator(), config);
    JwUsbMidiDeviceFinder::ProbeAll ("Tarvo");
    JwUsbMidiH3 device (reinterpret_cast<const char*> (config.deviceId.data()));
    ASSERT_EQ (1u, JwUsbMidiDeviceFinder::GetDescriptors().size());
    ASSERT_TRUE (device.Open());

    const auto image = makeImage (708859);
    FirmwareUpdateSession update;
    update.fw_data_ = image.data();
    update.fw_size_ = (int) image.size();
    update.cb_user_data_ = &amplifier;

    // Close, wait until the amplifier has restarted (a short restart may be over before we
    // look: the count tells) and its ports are back, open again.
    const auto reconnect = [] (JwDevice* device, FirmwareUpdateSession*, void* a)
    {
        auto& amp = *static_cast<sim::EmulatedAmplifier*> (a);
        const auto restartsBefore = amp.getNumRestarts();
        device->Close();
        const auto restarted = amp.waitUntilPlugged (false, 2000)
                            || amp.getNumRestarts() > restartsBefore;
        return restarted && amp.waitUntilPlugged (true, 10000) && device->Open();
    };
    update.status_reset_cb_ = reconnect;
    update.finish_cb_ = reconnect;

    amplifier.refuseBlockOnce (3);
    CaptureStdout();
    const auto ok = testing_support::runOnWorker ([&] { return update.Perform (&device); });
    bootloader::DownloadFirmwareVersionSession read;
    const auto readOk = read.Perform (&device);
    const auto output = GetCapturedStdout();
    ASSERT_TRUE (ok) << update.error_code_ << "\n" << output;
    ASSERT_TRUE (readOk) << output;

    EXPECT_TRUE (amplifier.flashEquals (image));
    const auto received = amplifier.getReceivedMessages();
    const auto isBlock = [] (const Bytes& m) { return hasName (m, "WriteFlash"); };
    // One block twice: the refused one.
    EXPECT_EQ (2770, std::count_if (received.begin(), received.end(), isBlock));
    EXPECT_EQ (2769, amplifier.getNumWriteFlashBlocksAccepted());
    EXPECT_EQ (1, (int) amplifier.getFirmwareStatus());
    EXPECT_FALSE (amplifier.isInBootloaderMode());
    EXPECT_EQ (2, amplifier.getNumRestarts());
    EXPECT_EQ (0u, output.find ("Get FW SID: 0\nGet FW Status: 1\nSet FW Status as 0\n"
                                "Will sleep for 0 ms\n"));
    EXPECT_EQ (Bytes (image.begin() + 0x408, image.begin() + 0x40C),
               Bytes (read.fw_info_.fw_version, read.fw_info_.fw_version + 4));
}
