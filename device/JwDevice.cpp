#include "JwDevice.h"

#include "MessageCodec.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

//==============================================================================
JwQueue::~JwQueue()
{
    const std::lock_guard<std::mutex> lock (mutex_);

    for (auto* entry : entries_)
        delete entry;

    entries_.clear();
}

void JwQueue::PushBack (const uint8_t* data, int len)
{
    auto entry = std::make_unique<std::vector<uint8_t>>();

    if (len > 0 && data != nullptr)
        entry->assign (data, data + len);

    const std::lock_guard<std::mutex> lock (mutex_);
    entries_.push_back (entry.release());
    cond_.notify_one();
}

//==============================================================================
JwDevice::JwDevice()
    : queues_ (kNumSessions)
{
    own_sid_ = AllocateSid();
}

JwDevice::~JwDevice()
{
    for (auto& slot : queues_)
    {
        const std::lock_guard<std::mutex> lock (sid_mutex_);
        slot.reset();
    }
}

int JwDevice::AllocateSid()
{
    const std::lock_guard<std::mutex> lock (sid_mutex_);

    for (int step = 1; step <= kNumSessions; ++step)
    {
        const auto sid = (last_sid_ + step) % kNumSessions;

        if (queues_[(size_t) sid] == nullptr)
        {
            queues_[(size_t) sid] = std::make_shared<JwQueue>();
            last_sid_ = sid;
            return sid;
        }
    }

    return -1;
}

void JwDevice::ReleaseSid (int sid)
{
    if (sid < 0 || sid >= kNumSessions)
        return;

    const std::lock_guard<std::mutex> lock (sid_mutex_);
    queues_[(size_t) sid].reset();
}

std::shared_ptr<JwQueue> JwDevice::queueFor (int sid)
{
    const std::lock_guard<std::mutex> lock (sid_mutex_);
    return queues_[(size_t) sid];
}

int JwDevice::ReadNext (int sid, uint8_t* buf, size_t capacity, int timeout_ms)
{
    using Clock = std::chrono::steady_clock;

    if (sid < 0 || sid >= kNumSessions)
        return -1;

    const auto queue = queueFor (sid);

    if (queue == nullptr)
        return -1;

    if (buf == nullptr)
        return 0;

    std::unique_lock<std::mutex> lock (queue->mutex_);

    while (queue->entries_.empty())
    {
        if (timeout_ms < 0)
            return -1;

        if (timeout_ms == 0)
        {
            queue->cond_.wait (lock);
            continue;
        }

        // Each early wake-up starts a whole new wait; a message arriving just as the
        // time runs out stays queued for the next read.
        const auto timeout = std::chrono::milliseconds (timeout_ms);
        const auto waitStart = Clock::now();
        queue->cond_.wait_for (lock, timeout);

        if (Clock::now() - waitStart >= timeout)
            return -1;
    }

    std::unique_ptr<std::vector<uint8_t>> entry (queue->entries_.front());
    queue->entries_.pop_front();
    lock.unlock();

    // A message larger than the caller's buffer is dropped as a failed read.
    if (entry->size() > capacity)
        return -1;

    if (! entry->empty())
        std::memcpy (buf, entry->data(), entry->size());

    return (int) entry->size();
}

int JwDevice::Send (const uint8_t* data, int len)
{
    if (max_packet_size_ <= 0)
        return Internal_Send (data, (size_t) (len > 0 ? len : 0));

    int total = 0;
    bool failed = false;

    // 64-bit offsets: offset + max_packet_size_ may not fit an int near INT_MAX.
    for (int64_t offset = 0; offset < len; offset += max_packet_size_)
    {
        const auto piece = std::min<int64_t> (max_packet_size_, len - offset);
        const auto sent = Internal_Send (data + offset, (size_t) piece);

        if (sent == -1)
            failed = true;
        else
            total += sent;
    }

    return failed ? -1 : total;
}

void JwDevice::OnReadNext (const uint8_t* data, int len)
{
    Internal_OnReadNext (data, len);
}

//==============================================================================
namespace
{
struct MessageSpan
{
    size_t start;
    size_t last;   // index of the message's last byte
};

/** The first complete message at or after from, if the first start byte found there
    begins one whose bytes are all present. */
std::optional<MessageSpan> findMessage (const std::vector<uint8_t>& buffer, size_t from)
{
    const auto size = buffer.size();

    for (auto i = from; i < size; ++i)
    {
        const auto byte = buffer[i];

        if (byte == 0xB0)
            return i + 2 < size ? std::optional<MessageSpan> ({ i, i + 2 }) : std::nullopt;

        if (byte == 0xC0)
            return i + 1 < size ? std::optional<MessageSpan> ({ i, i + 1 }) : std::nullopt;

        if (byte == 0xF0)
        {
            auto start = i;

            for (auto j = i + 1; j < size; ++j)
            {
                if (buffer[j] == 0xF0)
                    start = j;
                else if (buffer[j] == 0xF7)
                    return MessageSpan { start, j };
            }

            return std::nullopt;
        }
    }

    return std::nullopt;
}

bool isStartByte (uint8_t byte)
{
    return byte == 0xB0 || byte == 0xC0 || byte == 0xF0;
}

/** Bytes that never complete a message must not grow memory without limit: once more
    than the bound is pending, keep at most the partial message that begins at the last
    start byte, and nothing when that alone is over the bound. */
void trimPending (std::vector<uint8_t>& buffer)
{
    if (buffer.size() <= JwDevice::kMaxPendingBytes)
        return;

    size_t keepFrom = buffer.size();

    for (size_t i = buffer.size(); i-- > 0;)
    {
        if (isStartByte (buffer[i]))
        {
            keepFrom = i;
            break;
        }
    }

    if (buffer.size() - keepFrom > JwDevice::kMaxPendingBytes)
        keepFrom = buffer.size();

    buffer.erase (buffer.begin(), buffer.begin() + (std::ptrdiff_t) keepFrom);
}

bool hasName (const uint8_t* m, size_t n, const char* name, size_t nameLen)
{
    // The whole name follows the start byte, and at least one more byte follows it.
    return n >= nameLen + 2 && std::memcmp (m + 1, name, nameLen) == 0;
}
} // namespace

void JwDevice::Internal_OnReadNext (const uint8_t* data, int len)
{
    if (data == nullptr || len < 1)
        return;

    if (rx_buffer_ == nullptr)
        rx_buffer_ = std::make_unique<std::vector<uint8_t>>();

    auto& buffer = *rx_buffer_;
    buffer.insert (buffer.end(), data, data + len);

    auto found = findMessage (buffer, 0);

    if (! found.has_value())
    {
        trimPending (buffer);
        return;
    }

    size_t consumedUpTo = 0;

    while (found.has_value())
    {
        const auto span = *found;
        const std::vector<uint8_t> message (buffer.begin() + (std::ptrdiff_t) span.start,
                                            buffer.begin() + (std::ptrdiff_t) span.last + 1);
        route (message.data(), message.size());

        consumedUpTo = span.last + 1;
        // The last byte of a routed message is looked at again as a possible start.
        found = findMessage (buffer, span.last);
    }

    buffer.erase (buffer.begin(), buffer.begin() + (std::ptrdiff_t) consumedUpTo);

    // What is left holds no complete message: the same bound applies to it, or a routed
    // message followed by a long run of garbage would keep all of that garbage.
    trimPending (buffer);
}

void JwDevice::route (const uint8_t* m, size_t n)
{
    static constexpr size_t status_len = 11, info_len = 9, write_flash_len = 13;

    if (hasName (m, n, "RetFwStatus", status_len)
        || hasName (m, n, "RetFwInfo", info_len)
        || hasName (m, n, "RetWriteFlash", write_flash_len))
    {
        // The own id's slot is filled by the constructor and emptied only by the
        // destructor, so it needs no lock here.
        if (own_sid_ >= 0)
            if (auto& queue = queues_[(size_t) own_sid_])
                queue->PushBack (m, (int) n);

        return;
    }

    if (jw::isValidFrame (m, n))
    {
        const int sid = m[2];

        if (sid < kNumSessions)
        {
            if (const auto queue = queueFor (sid))
                queue->PushBack (m, (int) n);
        }
        else if (listener_ != nullptr)
        {
            listener_->OnMessage (m, (int) n);
        }

        return;
    }

    if (listener_ != nullptr)
    {
        if (m[0] == 0xF0)
            listener_->OnSysExMessage (m, (int) n);

        listener_->OnMessage (m, (int) n);
    }
}
