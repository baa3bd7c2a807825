// cli-codes.cpp -- result codes and installation error words as a person reads them.
#include "cli.h"
#include "zr-net.h"

#include <cstdio>

namespace zrcli {

namespace {

struct CodeText {
    int code;
    const char *name;
    const char *text;
};

// The library's own codes.  Several numbers are also what a handheld status of the same
// magnitude becomes; those carry both readings.
const CodeText kLibraryCodes[] = {
    {ZR_E_END, "ZR_E_END", "the handheld closed the connection or did not answer"},
    {ZR_E_FOREIGN, "ZR_E_FOREIGN", "something else answered the probe"},
    {ZR_E_IFSOCK, "ZR_E_IFSOCK", "the interface query socket could not be created"},
    {ZR_E_IFLIST, "ZR_E_IFLIST", "the host's interface list could not be read"},
    {ZR_E_TIMEOUT, "ZR_E_TIMEOUT", "the handheld did not answer in time"},
    {ZR_E_PRIVPORT, "ZR_E_PRIVPORT", "a privileged local port was asked for"},
    {ZR_E_CONNECT, "ZR_E_CONNECT", "the handheld could not be reached"},
    {ZR_E_BIND, "ZR_E_BIND", "no local port was free"},
    {ZR_E_SOCKET, "ZR_E_SOCKET", "a socket operation failed"},
    {ZR_E_FLAGS, "ZR_E_FLAGS", "invalid request (flags, or an enumeration already open)"},
    {ZR_E_HANDLE, "ZR_E_HANDLE", "unknown handle"},
    {ZR_E_STATUS, "ZR_E_STATUS", "the handheld's reply was not understood"},
    {ZR_E_HOSTFILE, "ZR_E_HOSTFILE", "the host file could not be examined, opened or created"},
    {ZR_E_OPERATION, "ZR_E_OPERATION", "unknown operation"},
    {ZR_E_CANCELLED, "ZR_E_CANCELLED", "cancelled"},
    {ZR_E_WRITE, "ZR_E_WRITE", "writing the host file failed"},
    {ZR_E_COMMAND, "ZR_E_COMMAND",
     "the path is too long or holds a line break (or the handheld reports: not found or bad path)"},
    {ZR_E_SHORT, "ZR_E_SHORT", "the transfer ended before all bytes were moved"},
    {ZR_E_NOREPLY, "ZR_E_NOREPLY", "no reply came after the data was sent"},
    {ZR_E_DHCP_SHARE, "ZR_E_DHCP_SHARE", "the DHCP service's shared state is unavailable"},
    {ZR_E_DHCP_FIND, "ZR_E_DHCP_FIND", "the DHCP server could not be looked for"},
    {ZR_E_DHCP_START, "ZR_E_DHCP_START", "the DHCP server could not be started"},
    {ZR_E_DHCP_STOP, "ZR_E_DHCP_STOP", "the DHCP server could not be stopped"},
};

// Statuses the handheld uses for refusals.
const CodeText kStatuses[] = {
    {1001, "", "permission denied"},
    {1034, "", "the operation failed"},
    {1035, "", "already exists"},
    {1036, "", "path too long"},
};

} // namespace

std::string describe(int code)
{
    char buf[256];
    for (const auto &c : kLibraryCodes) {
        if (c.code == code) {
            std::snprintf(buf, sizeof buf, "%s (%d): %s", c.name, code, c.text);
            return buf;
        }
    }
    if (code < 0 && code > -65536) {
        const char *meaning = nullptr;
        for (const auto &s : kStatuses)
            if (s.code == -code)
                meaning = s.text;
        if (meaning)
            std::snprintf(buf, sizeof buf, "%d: the handheld refused with status %d (%s)", code,
                          -code, meaning);
        else
            std::snprintf(buf, sizeof buf, "%d: the handheld refused with status %d", code, -code);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%d", code);
    return buf;
}

std::string describe_install_word(int code)
{
    unsigned word = static_cast<unsigned>(code) & 0xFFFFu;
    std::string reasons;
    auto add = [&](const char *r) {
        if (!reasons.empty())
            reasons += ", ";
        reasons += r;
    };
    if (word & 0x0008)
        add("battery low");
    if (word & 0x0002)
        add("not enough storage");
    if (word & 0x0001)
        add("the handheld is busy");
    if (word & (0x0020 | 0x0004 | 0x0010 | 0x0080))
        add("the image is not a valid OS file");
    if (reasons.empty())
        reasons = "the handheld is busy";
    char buf[256];
    std::snprintf(buf, sizeof buf, "installation failed (%d, error word 0x%04X): %s", code, word,
                  reasons.c_str());
    return buf;
}

} // namespace zrcli
