#pragma once

#include <cstdint>
#include <future>
#include <string>

class MainComponent;

/** One state of the window. Entering it (apply, on the message thread) queues its view
    changes on the component and may start a task on a thread of its own; the task hands
    its result back only by posting the next transition to the message thread. */
class AppState
{
public:
    virtual ~AppState() = default;
    virtual void apply (MainComponent* mc) const = 0;
};

/** Nothing connected: the connect view, and the poll watching for an amplifier. */
class InitialAppState : public AppState
{
public:
    ~InitialAppState() override = default;
    void apply (MainComponent* mc) const override;
};

/** Probing for amplifiers on a worker thread. */
class ConnectingAppState : public AppState
{
public:
    ~ConnectingAppState() override;
    void apply (MainComponent* mc) const override;

private:
    mutable std::future<void> task;
};

/** An amplifier open: its information is read on the message thread and shown. */
class ConnectedAppState : public AppState
{
public:
    ~ConnectedAppState() override = default;
    void apply (MainComponent* mc) const override;

    /** Reads the amplifier's information, queues it for the info view and restarts the
        poll. A session that gets no reply leaves its text empty. */
    static void readDeviceInfo (MainComponent* mc);

    /** The four version bytes as "a.b.c.d". */
    static std::string formatVersion (const uint8_t (&bytes)[4]);
};

/** "Check to update" pressed: marks the view busy and stops the poll. */
class FirmwareCheckingAppState : public AppState
{
public:
    ~FirmwareCheckingAppState() override;
    void apply (MainComponent* mc) const override;

private:
    mutable std::future<void> task;
};

/** Writes the embedded firmware image into the amplifier on a worker thread. */
class FirmwareUpdatingAppState : public AppState
{
public:
    ~FirmwareUpdatingAppState() override;
    void apply (MainComponent* mc) const override;

private:
    mutable std::future<void> task;
};
