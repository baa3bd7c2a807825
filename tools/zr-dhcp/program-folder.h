// program-folder.h -- the folder the running program's file is in (linux/program-folder.cpp,
// win/process.cpp): where the service finds what lies beside it, and where the stand-in
// for it (tools/zr-dhcp-standin) writes its record.  Nothing else of the service comes with it.
#ifndef ZR_DHCP_PROGRAM_FOLDER_H
#define ZR_DHCP_PROGRAM_FOLDER_H

#include <string>

namespace zrdhcp {

// The folder of the program file ("/" for one at the top, "." when it cannot be found).
std::string program_folder();

}  // namespace zrdhcp

#endif
