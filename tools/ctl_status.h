// kqvxi-ctl status: a controller's server and its clients as text or as one
// JSON object, from the server's statistics object alone (no request is sent).
#pragma once
#include <cstdint>
#include <cstdio>

#include "kqvxi/kqvxi.h"

// Prints server and the first count entries of clients to out.
void PrintStatusText(std::FILE* out, const kqvxi_server_info& server,
                     const kqvxi_client_info* clients, int count);
void PrintStatusJson(std::FILE* out, const kqvxi_server_info& server,
                     const kqvxi_client_info* clients, int count);
