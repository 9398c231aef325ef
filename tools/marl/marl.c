/*
 * marl: raise, clear or query a point at the point service from the shell,
 * through libmarlclient's public C interface only.
 *
 *   marl [RUNTIME OPTIONS] raise|clear NAME     marl query NAME
 *
 * With any runtime option, raise and clear attach runtime information
 * (update_marl_point_ext); without, they send a plain update. Options may
 * come before or after the command; "--" ends them.
 *
 * Exit status: 0 on success; 1 when the library reported a failure (its
 * reason is on stderr and in the system log); 2 on a usage error; 3 when a
 * query got no reply.
 */
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "marlclient.h"
#include "marlmsg.h"

enum { EXIT_OK = 0, EXIT_LIBRARY_FAILURE = 1, EXIT_USAGE = 2, EXIT_NO_REPLY = 3 };

static void usage(FILE *out)
{
    fputs("Usage: marl [OPTION]... COMMAND NAME\n"
          "Raise, clear or query the point NAME at the point service. Options may\n"
          "also follow the command; -- ends them.\n"
          "\n"
          "Commands:\n"
          "  raise NAME   set the point\n"
          "  clear NAME   clear the point\n"
          "  query NAME   print the point's state: set or clear\n"
          "\n"
          "Runtime information for raise and clear (any of them sends it):\n"
          "  --attribute-id TEXT        threshold: watched attribute (80 characters travel)\n"
          "  --indication TEXT          threshold: level indication (4 characters travel)\n"
          "  --low NUMBER               threshold: low value\n"
          "  --high NUMBER              threshold: high value\n"
          "  --observed NUMBER          threshold: observed value\n"
          "  --arm-time SECONDS         threshold: arm time, seconds since 1970\n"
          "  --monitored TEXT           monitored attributes (128)\n"
          "  --service-user TEXT        service user (32)\n"
          "  --service-provider TEXT    service provider (32)\n"
          "  --security-detector TEXT   security alarm detector (32)\n"
          "  --text1 TEXT, --text2 TEXT additional texts (32 each)\n"
          "Any threshold option sends threshold information; the others are 0 or absent.\n"
          "\n"
          "Options:\n"
          "  -v, --verbose   also show the library's informational lines on stderr\n"
          "  -h, --help      show this help and exit\n"
          "  -V, --version   show the version and exit\n"
          "\n"
          "Exit status: 0 on success, 1 when the library reported a failure\n"
          "(the reason is on stderr and in the system log), 2 on a usage error,\n"
          "3 when a query got no reply within 10 seconds.\n"
          "The service is found through the \"marl\" entry of the services database\n"
          "and the central node's address from libcmnHal.\n",
          out);
}

/* Runtime information gathered from the options; null texts are absent. */
struct runtime_info {
    bool any;
    bool hasThreshold;
    t_threshold_info threshold;
    const char *texts[6]; /* monitored, user, provider, detector, text1, text2 */
};

enum {
    OPT_ATTRIBUTE_ID = 256,
    OPT_INDICATION,
    OPT_LOW,
    OPT_HIGH,
    OPT_OBSERVED,
    OPT_ARM_TIME,
    OPT_TEXT_FIRST, /* six text options follow, in block order */
};

/* A usage error: one line, then where to look. */
__attribute__((format(printf, 1, 2))) static int usage_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("marl: ", stderr);
    vfprintf(stderr, format, args);
    va_end(args);
    fputs("\nTry 'marl --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

/* strtof and strtoll skip leading blanks but stop at trailing ones: refused
   on both sides alike. */
static bool parse_float(const char *text, float *out)
{
    char *end = NULL;
    errno = 0;
    if (isspace((unsigned char)text[0])) {
        return false;
    }
    const float value = strtof(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !isfinite(value)) {
        return false;
    }
    *out = value;
    return true;
}

static bool parse_seconds(const char *text, time_t *out)
{
    char *end = NULL;
    errno = 0;
    if (isspace((unsigned char)text[0])) {
        return false;
    }
    const long long value = strtoll(text, &end, 10);
    /* The wire carries a signed 32-bit count. */
    if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
        return false;
    }
    *out = (time_t)value;
    return true;
}

/* Takes one runtime option; false when its value is unusable. */
static bool take_runtime_option(struct runtime_info *info, int option, const char *value)
{
    info->any = true;
    if (option >= OPT_TEXT_FIRST) {
        info->texts[option - OPT_TEXT_FIRST] = value;
        return true;
    }
    info->hasThreshold = true;
    t_threshold_info *threshold = &info->threshold;
    switch (option) {
    case OPT_ATTRIBUTE_ID:
        threshold->attributeId = (char *)value;
        return true;
    case OPT_INDICATION:
        threshold->thresholdLevel.indication = (char *)value;
        return true;
    case OPT_LOW:
        return parse_float(value, &threshold->thresholdLevel.low);
    case OPT_HIGH:
        return parse_float(value, &threshold->thresholdLevel.high);
    case OPT_OBSERVED:
        return parse_float(value, &threshold->observedValue);
    default:
        return parse_seconds(value, &threshold->armTime);
    }
}

static bool send_update(const char *name, uint8_t value, const struct runtime_info *info)
{
    if (!info->any) {
        return update_marl_point(name, value);
    }
    return update_marl_point_ext(name, value, info->hasThreshold ? &info->threshold : NULL, info->texts[0],
                                 info->texts[1], info->texts[2], info->texts[3], info->texts[4], info->texts[5]);
}

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"help", no_argument, NULL, 'h'},
        {"verbose", no_argument, NULL, 'v'},
        {"version", no_argument, NULL, 'V'},
        {"attribute-id", required_argument, NULL, OPT_ATTRIBUTE_ID},
        {"indication", required_argument, NULL, OPT_INDICATION},
        {"low", required_argument, NULL, OPT_LOW},
        {"high", required_argument, NULL, OPT_HIGH},
        {"observed", required_argument, NULL, OPT_OBSERVED},
        {"arm-time", required_argument, NULL, OPT_ARM_TIME},
        {"monitored", required_argument, NULL, OPT_TEXT_FIRST + 0},
        {"service-user", required_argument, NULL, OPT_TEXT_FIRST + 1},
        {"service-provider", required_argument, NULL, OPT_TEXT_FIRST + 2},
        {"security-detector", required_argument, NULL, OPT_TEXT_FIRST + 3},
        {"text1", required_argument, NULL, OPT_TEXT_FIRST + 4},
        {"text2", required_argument, NULL, OPT_TEXT_FIRST + 5},
        {NULL, 0, NULL, 0},
    };
    struct runtime_info info;
    memset(&info, 0, sizeof info);
    bool verbose = false;
    int option;
    int index = -1;
    opterr = 0; /* its messages name the path marl was started by */
    while ((option = getopt_long(argc, argv, ":hVv", options, &index)) != -1) {
        switch (option) {
        case 'h':
            usage(stdout);
            return EXIT_OK;
        case 'V':
            printf("marl %s\n", MARL_VERSION);
            return EXIT_OK;
        case 'v':
            verbose = true;
            break;
        case ':':
            return usage_error("option '%s' needs a value", argv[optind - 1]);
        case '?':
            return usage_error("unknown option '%s'", argv[optind - 1]);
        default:
            if (!take_runtime_option(&info, option, optarg)) {
                return usage_error("invalid value '%s' for --%s", optarg, options[index].name);
            }
            break;
        }
        index = -1;
    }
    if (argc - optind != 2) {
        return usage_error("expected a command and a point name");
    }
    const char *command = argv[optind];
    const char *name = argv[optind + 1];

    /* The library reports its failures to the system log; LOG_PERROR shows
     * them on stderr too, where a shell user looks. Its informational lines
     * only with --verbose. */
    openlog("marl", LOG_PERROR, LOG_USER);
    setlogmask(LOG_UPTO(verbose ? LOG_DEBUG : LOG_NOTICE));
    int status = EXIT_OK;
    if (strcmp(command, "raise") == 0 || strcmp(command, "clear") == 0) {
        if (!send_update(name, strcmp(command, "raise") == 0 ? 1 : 0, &info)) {
            status = EXIT_LIBRARY_FAILURE;
        }
    } else if (strcmp(command, "query") == 0 && !info.any) {
        uint8_t value = 0;
        if (read_marl_point(name, &value)) {
            puts(value ? "set" : "clear");
        } else {
            status = errno == ETIMEDOUT ? EXIT_NO_REPLY : EXIT_LIBRARY_FAILURE;
        }
    } else {
        status = info.any ? usage_error("runtime options go with raise and clear, not '%s'", command)
                          : usage_error("unknown command '%s'", command);
    }
    closelog();
    return status;
}
