// The library's one way to write to the system log.
//
// Every line starts with "[FILE:LINE] ", FILE being the source path as the
// build names it (the build maps the module's directory away, so the client
// reads "src/marlclient.cpp") and LINE the line of the logging statement.
// The tag is joined to the format at compile time, so each call is a single
// syslog call with a literal format that the compiler checks.
#pragma once

#include <syslog.h>

#define MARL_LOG_STRINGIFY_(x) #x
#define MARL_LOG_STRINGIFY(x) MARL_LOG_STRINGIFY_(x)

#define MARL_LOG(priority, format, ...) \
    syslog((priority), "[" __FILE__ ":" MARL_LOG_STRINGIFY(__LINE__) "] " format __VA_OPT__(, ) __VA_ARGS__)
