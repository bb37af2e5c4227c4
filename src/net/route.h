// Host routes that steer an IPv4 multicast group to the stream's interface.
#pragma once

#include <sys/types.h>

#include <cstdint>

// `address` is the inet_addr() value of the destination text.
int add_route(uint32_t address, const char* device);
int del_route(uint32_t address, const char* device);
int search_route(uint32_t address, const char* device);
int change_route(const char* operation, uint32_t address, const char* device);
int wait_child(pid_t pid);

// The route table view; tests point it elsewhere.
extern const char* g_route_table_path;
