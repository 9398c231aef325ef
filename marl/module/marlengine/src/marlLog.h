// The library's one way to write to the system log.
//
// Every line starts with "[FILE:LINE] ", FILE being the source path as the
// build names it (the build maps the module's directory away, so the client
// reads "src/marlclient.cpp") and LINE the line of the logging statement.
// Each call is a single syslog call with a literal format that the compiler
// checks; the tag's path is an argument, so that the file holds it once
// rather than in every message.
#pragma once

#include <syslog.h>

#define MARL_LOG(priority, format, ...) \
    syslog((priority), "[%s:%d] " format, __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
