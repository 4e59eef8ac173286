// The connectivity probe: does the host of a web address resolve and answer an ICMP echo?
#ifndef KDM_NET_CONNECTIVITYPROBE_H
#define KDM_NET_CONNECTIVITYPROBE_H

#include <windows.h>

#include "foundation/StringEx.h"

struct hostent;

// The host name that the probe resolves, taken from a web address: after a leading "http://" or
// "https://" (either in any letter case), every backslash turned into "/", up to the first "/".
// A port, user information or a trailing dot stay part of the name, so "host:8080" does not
// resolve. Throws only what the string operations throw (memory).
MStringEx<wchar_t> ProbeHostName(const MStringEx<wchar_t>& address);

// Where the probe finds the ICMP functions and how it resolves names. The program always uses
// DefaultProbeEnvironment(); tests substitute libraries that lack the functions, or a resolver
// that counts its calls.
struct ProbeEnvironment {
    using Resolver = hostent*(WINAPI*)(const char* name);

    // Searched first for IcmpCreateFile, IcmpCloseHandle and IcmpSendEcho: "Iphlpapi.dll".
    const wchar_t* primaryLibrary;
    // Searched for all three when the first library lacks any of them: "ICMP.dll".
    const wchar_t* fallbackLibrary;
    // Winsock 1.1's gethostbyname.
    Resolver resolve;
};

ProbeEnvironment DefaultProbeEnvironment();

// True as soon as one ICMP echo to the address's host got a reply; false when the ICMP functions
// are missing, Winsock 1.1 is unavailable, the name does not resolve, or 4 attempts (1250 ms each,
// without pauses) got no reply. Blocks for up to about 5 s plus the name look-ups. Never throws;
// releases its libraries, handles and Winsock start before it returns. Any thread.
bool IsHostReachable(MStringEx<wchar_t> address);
bool IsHostReachable(MStringEx<wchar_t> address, const ProbeEnvironment& environment);

#endif
