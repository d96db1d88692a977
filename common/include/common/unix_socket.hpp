// Unix-domain stream sockets by path: the emulator's device and control
// sockets, as the emulator, the command tool and their tests open them.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace common::unix_socket {

// A new socket (close-on-exec) listening at `path` with room for `backlog`
// waiting connections: its descriptor, or -1 with errno set (ENAMETOOLONG
// when the path is empty or longer than a socket address holds).
int listenAt(const std::string& path, int backlog);

// A new socket (close-on-exec) connected to the one at `path`: its
// descriptor, or -1 with errno set (ENAMETOOLONG as above, ENOENT when
// there is none). A connect waits while the listener's queue is full; with
// `limit` it gives up after that long with ETIMEDOUT.
int connectTo(const std::string& path, std::optional<std::chrono::seconds> limit = std::nullopt);

}  // namespace common::unix_socket
