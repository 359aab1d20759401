#pragma once
// The camera connection as the main window's logic sees it: an event-driven
// client socket. Events come back through CameraSocketEvents on the
// user-interface thread.

#include <cstdint>
#include <string>
#include <vector>

namespace ipcam {

class CameraSocketEvents {
public:
    virtual ~CameraSocketEvents() = default;
    virtual void onSocketConnected() = 0;
    virtual void onSocketRead(const std::vector<uint8_t>& chunk) = 0;
    virtual void onSocketError() = 0;
};

class CameraSocket {
public:
    virtual ~CameraSocket() = default;
    virtual void setEvents(CameraSocketEvents* events) = 0;
    virtual void open(const std::string& host, uint16_t port) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual void send(const std::string& bytes) = 0;
    // Why the connection ended, for the log (after onSocketError).
    virtual std::string errorText() const { return "socket error"; }
};

}  // namespace ipcam
