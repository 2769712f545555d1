#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class JwDevice;

/** Receives the messages that no session queue takes. */
class JwDeviceListener
{
public:
    virtual ~JwDeviceListener() = default;
    virtual int OnMessage (const uint8_t* data, int len) = 0;
    virtual int OnSysExMessage (const uint8_t* data, int len) = 0;
};

/** A blocking first-in-first-out queue of received messages with one reader. */
class JwQueue
{
public:
    JwQueue() = default;
    ~JwQueue();

    JwQueue (const JwQueue&) = delete;
    JwQueue& operator= (const JwQueue&) = delete;

    /** Appends a copy of len bytes (an empty entry when len is 0) and wakes a reader. */
    void PushBack (const uint8_t* data, int len);

private:
    friend class JwDevice;

    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::vector<uint8_t>*> entries_;
};

/** One connection to an amplifier, whatever carries its bytes.

    Exchanges share the connection through session ids 0 to 63, each with a reply queue
    while in use. The receive path cuts the incoming byte stream into messages and routes
    firmware-transfer replies to the device's own id, framed messages to the id they
    carry, and everything else to the listener, if any.
*/
class JwDevice
{
public:
    static constexpr int kNumSessions = 64;

    /** A receive buffer holding more than this with no complete message is trimmed. */
    static constexpr size_t kMaxPendingBytes = 64 * 1024;

    JwDevice();
    virtual ~JwDevice();

    JwDevice (const JwDevice&) = delete;
    JwDevice& operator= (const JwDevice&) = delete;

    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual const uint8_t* GetUUID() const { return nullptr; }

    /** A free session id, round robin, or -1 when all are in use. */
    int AllocateSid();

    /** Frees a session id; out-of-range values are ignored. */
    void ReleaseSid (int sid);

    /** Takes the oldest message for sid into buf, which holds capacity bytes.
        Returns its length (0 for an empty entry or a null buf), or -1 for a bad or unused
        id, a time-out, a negative timeout_ms with nothing queued, or a message longer
        than capacity (taken out of the queue and dropped). timeout_ms 0 waits forever. */
    int ReadNext (int sid, uint8_t* buf, size_t capacity, int timeout_ms);

    /** Entry point for received bytes, on the transport's receiving thread. */
    void OnReadNext (const uint8_t* data, int len);

    /** Sends one message, in pieces of max_packet_size_ when that is above 0.
        Returns the bytes sent or -1 on failure. */
    int Send (const uint8_t* data, int len);

    int own_sid_ = -1;

protected:
    /** Transmits the bytes; returns the number sent or -1. */
    virtual int Internal_Send (const uint8_t* data, size_t len) = 0;

    void Internal_OnReadNext (const uint8_t* data, int len);

    int max_packet_size_ = 0;

private:
    void route (const uint8_t* m, size_t n);
    std::shared_ptr<JwQueue> queueFor (int sid);

    std::vector<std::shared_ptr<JwQueue>> queues_;
    std::unique_ptr<std::vector<uint8_t>> rx_buffer_;
    std::mutex sid_mutex_;
    int last_sid_ = kNumSessions - 1;
    JwDeviceListener* listener_ = nullptr;

    friend struct JwDeviceTestAccess;
};
