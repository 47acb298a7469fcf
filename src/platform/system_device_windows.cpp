// Windows: every device but a network port ("rfc2217://HOST:PORT", rfc2217_port.h) is opened and
// driven by the real kernel32, one call for one call. Our records (k32::DCB, k32::COMMTIMEOUTS,
// k32::INPUT_RECORD) are converted field by field.
//
// <windows.h> is included after our headers and defines the same constant names as macros, so
// below this point the Windows names are used for constants (their values are the same).
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/device.h"
#include "platform/network/rfc2217_port.h"
#include "platform/open_failure.h"

#include "platform/windows_api.h"

namespace platform {
namespace {

// Our DCB and the Windows one have the same fields under the same names; this copies every field
// either way. DCBlength is the receiving record's own size.
template <typename From, typename To>
void copyDcb(const From& in, To& out) {
    out = To{};
    out.DCBlength = sizeof(To);
    out.BaudRate = in.BaudRate;
    out.fBinary = in.fBinary;
    out.fParity = in.fParity;
    out.fOutxCtsFlow = in.fOutxCtsFlow;
    out.fOutxDsrFlow = in.fOutxDsrFlow;
    out.fDtrControl = in.fDtrControl;
    out.fDsrSensitivity = in.fDsrSensitivity;
    out.fTXContinueOnXoff = in.fTXContinueOnXoff;
    out.fOutX = in.fOutX;
    out.fInX = in.fInX;
    out.fErrorChar = in.fErrorChar;
    out.fNull = in.fNull;
    out.fRtsControl = in.fRtsControl;
    out.fAbortOnError = in.fAbortOnError;
    out.fDummy2 = in.fDummy2;
    out.wReserved = in.wReserved;
    out.XonLim = in.XonLim;
    out.XoffLim = in.XoffLim;
    out.ByteSize = in.ByteSize;
    out.Parity = in.Parity;
    out.StopBits = in.StopBits;
    out.XonChar = in.XonChar;
    out.XoffChar = in.XoffChar;
    out.ErrorChar = in.ErrorChar;
    out.EofChar = in.EofChar;
    out.EvtChar = in.EvtChar;
    out.wReserved1 = in.wReserved1;
}

void fromWindows(const ::INPUT_RECORD& in, k32::INPUT_RECORD& out) {
    out = k32::INPUT_RECORD{};
    out.EventType = in.EventType;
    if (in.EventType == KEY_EVENT) {
        const ::KEY_EVENT_RECORD& key = in.Event.KeyEvent;
        out.Event.KeyEvent.bKeyDown = key.bKeyDown;
        out.Event.KeyEvent.wRepeatCount = key.wRepeatCount;
        out.Event.KeyEvent.wVirtualKeyCode = key.wVirtualKeyCode;
        out.Event.KeyEvent.wVirtualScanCode = key.wVirtualScanCode;
        out.Event.KeyEvent.uChar.AsciiChar = key.uChar.AsciiChar;
        out.Event.KeyEvent.dwControlKeyState = key.dwControlKeyState;
    } else {
        static_assert(sizeof(out.Event.padding) <= sizeof(in.Event));
        std::memcpy(out.Event.padding, &in.Event, sizeof(out.Event.padding));
    }
}

class WindowsDevice final : public Device {
public:
    explicit WindowsDevice(HANDLE handle) : handle_(handle) {}
    ~WindowsDevice() override { ::CloseHandle(handle_); }

    bool getCommState(k32::DCB& dcb) override {
        ::DCB real{};
        real.DCBlength = sizeof real;
        if (!::GetCommState(handle_, &real)) return false;
        copyDcb(real, dcb);
        return true;
    }
    bool setCommState(const k32::DCB& dcb) override {
        ::DCB real;
        copyDcb(dcb, real);
        return ::SetCommState(handle_, &real) != 0;
    }
    bool getCommTimeouts(k32::COMMTIMEOUTS& t) override {
        ::COMMTIMEOUTS real{};
        if (!::GetCommTimeouts(handle_, &real)) return false;
        t.ReadIntervalTimeout = real.ReadIntervalTimeout;
        t.ReadTotalTimeoutMultiplier = real.ReadTotalTimeoutMultiplier;
        t.ReadTotalTimeoutConstant = real.ReadTotalTimeoutConstant;
        t.WriteTotalTimeoutMultiplier = real.WriteTotalTimeoutMultiplier;
        t.WriteTotalTimeoutConstant = real.WriteTotalTimeoutConstant;
        return true;
    }
    bool setCommTimeouts(const k32::COMMTIMEOUTS& t) override {
        ::COMMTIMEOUTS real{};
        real.ReadIntervalTimeout = t.ReadIntervalTimeout;
        real.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
        real.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
        real.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
        real.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
        return ::SetCommTimeouts(handle_, &real) != 0;
    }
    bool purge(k32::DWORD flags) override { return ::PurgeComm(handle_, flags) != 0; }
    bool read(void* buffer, k32::DWORD count, k32::DWORD& got) override {
        DWORD n = 0;
        BOOL ok = ::ReadFile(handle_, buffer, count, &n, nullptr);
        got = n;
        return ok != 0;
    }
    bool write(const void* buffer, k32::DWORD count, k32::DWORD& written) override {
        DWORD n = 0;
        BOOL ok = ::WriteFile(handle_, buffer, count, &n, nullptr);
        written = n;
        return ok != 0;
    }
    bool escape(k32::DWORD function) override {
        return ::EscapeCommFunction(handle_, function) != 0;
    }
    bool modemStatus(k32::DWORD& status) override {
        DWORD s = 0;
        BOOL ok = ::GetCommModemStatus(handle_, &s);
        status = ok ? s : 0;
        return ok != 0;
    }
    bool peekConsoleInput(k32::INPUT_RECORD* records, k32::DWORD length,
                          k32::DWORD& events) override {
        return consoleInput(records, length, events, false);
    }
    bool readConsoleInput(k32::INPUT_RECORD* records, k32::DWORD length,
                          k32::DWORD& events) override {
        return consoleInput(records, length, events, true);
    }

    // A console's input handle is one the system waits on. A port opened for plain (not
    // overlapped) I/O has none: whether bytes wait in it is looked at every millisecond.
    bool waitState(WaitState& state) override {
        DWORD mode = 0;
        if (::GetConsoleMode(handle_, &mode)) {
            DWORD events = 0;
            state.signaled = ::GetNumberOfConsoleInputEvents(handle_, &events) && events > 0;
            state.descriptor = reinterpret_cast<std::intptr_t>(handle_);
            return true;
        }
        DWORD errors = 0;
        COMSTAT status{};
        if (!::ClearCommError(handle_, &errors, &status)) return false;
        state.signaled = status.cbInQue > 0;
        state.lookAgainNs = processClock().nowNs() + kNsPerMs;
        return true;
    }

private:
    bool consoleInput(k32::INPUT_RECORD* records, k32::DWORD length, k32::DWORD& events,
                      bool take) {
        std::vector<::INPUT_RECORD> real(length > 0 ? length : 1);
        DWORD n = 0;
        BOOL ok = take ? ::ReadConsoleInputA(handle_, real.data(), length, &n)
                       : ::PeekConsoleInputA(handle_, real.data(), length, &n);
        if (n > length) n = length;
        for (DWORD i = 0; i < n; ++i) fromWindows(real[i], records[i]);
        events = n;
        return ok != 0;
    }

    HANDLE handle_;
};

// Why the port could not be opened: Windows' own text for the error, and what usually helps.
std::string openFailureText(const std::string& name, DWORD code) {
    char text[256] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                         0, text, sizeof text, nullptr);
    std::string out = name + ": ";
    std::string said(text, length);
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' '))
        said.pop_back();
    out += said.empty() ? "error " + std::to_string(code) : said;
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        out += " (Device Manager lists the COM ports under Ports (COM & LPT))";
    else if (code == ERROR_ACCESS_DENIED)
        out += " (the port is in use by another program)";
    return out;
}

// "COMn": a numbered port, which Windows opens by that name only below 10 without the "\\.\"
// device prefix; with the prefix every number works.
bool isNumberedPort(const std::string& name) {
    if (name.size() < 4) return false;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return false;
    for (std::size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

}  // namespace

std::unique_ptr<Device> openSystemDevice(const std::string& name, k32::DWORD access) {
    if (isNetworkPortName(name)) return openNetworkPort(name);
    std::string path = isNumberedPort(name) ? "\\\\.\\" + name : name;
    // Exclusive, existing, synchronous: what the program asks of the port and of the console.
    HANDLE handle = ::CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // Named as the user knows it: "COM12", not the "\\.\COM12" it was opened as.
        const DWORD error = ::GetLastError();
        setOpenFailure(
            openFailureText(name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name, error));
        return nullptr;
    }
    return std::make_unique<WindowsDevice>(handle);
}

}  // namespace platform
