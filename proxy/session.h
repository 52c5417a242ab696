// A connection session: one browser connection, from accept until either side
// closes, an error, 300 seconds of silence, or a locally answered request
// that ends it. Runs on its own thread; owns its two sockets and its buffers.
#pragma once

#include <cstddef>

#include "platform/winsock.h"

// The receive buffer: PIECE_SIZE bytes of data and room for a zero after them.
constexpr std::size_t PIECE_SIZE = 32768;
// Replies from upstream are read at most this many bytes at a time.
constexpr std::size_t REPLY_READ_SIZE = PIECE_SIZE - 1;
// Replies of at most this many bytes are relayed without a pop-up scan.
constexpr std::size_t SMALL_REPLY_SIZE = 10;

// The session thread's entry; `client` is the accepted socket, passed as an
// integer in the pointer. Closes both sockets before it returns.
void run_session(void* client);
