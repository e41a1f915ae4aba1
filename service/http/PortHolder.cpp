#include "service/http/PortHolder.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace smd::service {
namespace {

// The inodes of sockets listening on `port`, from the kernel's tables
// ("sl local_address rem_address st ... inode": addresses as hex ip:port,
// st 0A for listening).
std::set<std::string> listening_inodes(int port) {
    std::set<std::string> out;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream f(line);
            std::string sl, local, remote, st, queues, timer, retr, uid, timeout, inode;
            if (!(f >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >>
                  inode)) {
                continue;
            }
            const auto colon = local.rfind(':');
            if (st != "0A" || colon == std::string::npos) continue;
            char* end = nullptr;
            const long p = std::strtol(local.c_str() + colon + 1, &end, 16);
            if (end && *end == '\0' && p == port && inode != "0") out.insert(inode);
        }
    }
    return out;
}

bool all_digits(const char* s) {
    if (!*s) return false;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return false;
    }
    return true;
}

}  // namespace

std::string port_holder(int port) {
    const std::set<std::string> inodes = listening_inodes(port);
    if (inodes.empty()) return std::string();
    DIR* proc = ::opendir("/proc");
    if (!proc) return std::string();
    std::string found;
    while (const dirent* p = ::readdir(proc)) {
        if (!all_digits(p->d_name)) continue;
        const std::string fd_dir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = ::opendir(fd_dir.c_str());
        if (!fds) continue;  // not ours to look into
        while (const dirent* f = ::readdir(fds)) {
            if (!all_digits(f->d_name)) continue;
            char target[64];
            const std::string link = fd_dir + "/" + f->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 9) continue;
            const std::string t(target, static_cast<std::size_t>(n));
            // "socket:[12345]"
            if (t.compare(0, 8, "socket:[") != 0 || t.back() != ']') continue;
            if (!inodes.count(t.substr(8, t.size() - 9))) continue;
            std::ifstream comm(std::string("/proc/") + p->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            found = (name.empty() ? std::string("a process") : name) + " (pid " + p->d_name + ")";
            break;
        }
        ::closedir(fds);
        if (!found.empty()) break;
    }
    ::closedir(proc);
    return found;
}

}  // namespace smd::service
