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
 * Exit status: 0 on success; 1 when the update or query failed (no services
 * entry, or the library reported a failure: its reason is on stderr and in
 * the system log); 2 on a usage error; 3 when a query got no reply.
 */
/* fileno, dup and dup2 are POSIX, not C99 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
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
#include <unistd.h>

#include "marlEncDec.h"
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
          "Exit status: 0 on success, 1 when the update or query failed (the reason\n"
          "is on stderr and in the system log), 2 on a usage error, 3 when a query\n"
          "got no reply within 10 seconds.\n"
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

/* A long option that getopt_long refused: unknown, or the abbreviation of
   more than one. */
static int refuse_long_option(const char *word)
{
    const char *name = word + 2;
    const size_t length = strcspn(name, "=");
    char candidates[512] = "";
    size_t used = 0;
    int count = 0;
    for (const struct option *option = options; option->name != NULL; ++option) {
        if (strncmp(option->name, name, length) == 0 && used < sizeof candidates) {
            used += (size_t)snprintf(candidates + used, sizeof candidates - used, " --%s", option->name);
            ++count;
        }
    }
    if (count > 1) {
        return usage_error("option '--%.*s' is ambiguous; possibilities:%s", (int)length, name, candidates);
    }
    return usage_error("unknown option '%s'", word);
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

/* What a counted text adds to an update beyond its 2-byte length: the text
   at its full length, NUL included (the library sizes the datagram on it even
   where it cuts the text); nothing when it is absent. */
static size_t text_bytes(const char *text) { return text != NULL ? strlen(text) + 1 : 0; }

/* The text an option gave, or null: options not given, and numbers, have none. */
static const char *option_text(const struct runtime_info *info, int option)
{
    if (option >= OPT_TEXT_FIRST) {
        return info->texts[option - OPT_TEXT_FIRST];
    }
    if (option == OPT_ATTRIBUTE_ID) {
        return info->threshold.attributeId;
    }
    return option == OPT_INDICATION ? info->threshold.thresholdLevel.indication : NULL;
}

/* An update over the datagram limit is refused here, naming its longest
   argument, rather than by the library with a bare "Maximum message length
   exceeded". The size is counted as the library counts it. */
static int check_update_size(const char *name, const struct runtime_info *info)
{
    size_t size = MARL_UPDATE_POINT_MSG_SIZE + strlen(name);
    if (info->any) {
        size += MARL_DYNAMIC_INFO_MIN_SIZE;
    }
    if (info->hasThreshold) {
        size += 2 + 2 + 16; /* the lengths of its two texts, three floats and the arm time */
    }
    const char *longest = NULL; /* the option, or null for the name */
    size_t longest_bytes = strlen(name);
    for (const struct option *option = options; option->name != NULL; ++option) {
        const char *text = option_text(info, option->val);
        size += text_bytes(text);
        if (text != NULL && strlen(text) > longest_bytes) {
            longest = option->name;
            longest_bytes = strlen(text);
        }
    }
    if (size <= MARL_MAX_UPDATE_MSG_LENGTH) {
        return EXIT_OK;
    }
    return usage_error("the update would be %zu bytes, over the datagram limit of %u; shorten %s%s (%zu bytes)", size,
                       MARL_MAX_UPDATE_MSG_LENGTH, longest != NULL ? "--" : "the point name",
                       longest != NULL ? longest : "", longest_bytes);
}

static bool send_update(const char *name, uint8_t value, const struct runtime_info *info)
{
    if (!info->any) {
        return update_marl_point(name, value);
    }
    return update_marl_point_ext(name, value, info->hasThreshold ? &info->threshold : NULL, info->texts[0],
                                 info->texts[1], info->texts[2], info->texts[3], info->texts[4], info->texts[5]);
}

/* The library's lines on stderr, held back around a call whose failure marl
   can explain better than they do: they are shown afterwards unless marl has
   said it in one line of its own. The system log gets them either way. */
struct held_lines {
    FILE *file;
    int stderr_copy;
};

static struct held_lines hold_library_lines(void)
{
    struct held_lines held = {tmpfile(), -1};
    if (held.file != NULL) {
        held.stderr_copy = dup(STDERR_FILENO);
        if (held.stderr_copy < 0 || dup2(fileno(held.file), STDERR_FILENO) < 0) {
            /* nothing is held: the lines go straight to stderr */
            fclose(held.file);
            held.file = NULL;
        }
    }
    return held;
}

static void release_library_lines(struct held_lines held, bool show)
{
    if (held.stderr_copy >= 0) {
        dup2(held.stderr_copy, STDERR_FILENO);
        close(held.stderr_copy);
    }
    if (held.file != NULL) {
        rewind(held.file);
        for (int c; show && (c = getc(held.file)) != EOF;) {
            putc(c, stderr);
        }
        fclose(held.file);
    }
}

/* Sends the update or the query of a valid command line. The socket is set
   up first, so that a missing services entry, which would only show as a
   send to port 0, is told as what it is, and so that a query that gets no
   answer can say where it asked. */
static int run(const char *command, const char *name, const struct runtime_info *info, bool verbose)
{
    int fd = -1;
    int size = 0;
    struct sockaddr_in service;
    struct held_lines held = hold_library_lines();
    const bool ready = setup_marl_socket(&fd, &service, &size);
    const bool no_entry = ready && service.sin_port == 0;
    release_library_lines(held, verbose || !no_entry);
    if (!ready) {
        return EXIT_LIBRARY_FAILURE;
    }
    if (no_entry) {
        fputs("marl: the services database has no \"marl\" entry: add the point service's UDP port to "
              "/etc/services, e.g. \"marl 41717/udp\"\n",
              stderr);
        return EXIT_LIBRARY_FAILURE;
    }
    if (strcmp(command, "query") != 0) {
        return send_update(name, strcmp(command, "raise") == 0 ? 1 : 0, info) ? EXIT_OK : EXIT_LIBRARY_FAILURE;
    }
    uint8_t value = 0;
    held = hold_library_lines();
    const bool answered = read_marl_point(name, &value);
    const bool timed_out = !answered && errno == ETIMEDOUT;
    release_library_lines(held, verbose || !timed_out);
    if (answered) {
        puts(value ? "set" : "clear");
        return EXIT_OK;
    }
    if (timed_out) {
        char address[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &service.sin_addr, address, sizeof address);
        fprintf(stderr,
                "marl: no reply from %s:%u within 10 seconds: start the point service there, or correct the "
                "central node's address or the \"marl\" services entry\n",
                address, ntohs(service.sin_port));
        return EXIT_NO_REPLY;
    }
    return EXIT_LIBRARY_FAILURE;
}

int main(int argc, char **argv)
{
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
            /* getopt_long tells an unknown short option by optopt */
            return optopt != 0 ? usage_error("unknown option '-%c'", optopt) : refuse_long_option(argv[optind - 1]);
        default:
            if (!take_runtime_option(&info, option, optarg)) {
                return usage_error("invalid value '%s' for --%s", optarg, options[index].name);
            }
            break;
        }
        index = -1;
    }
    if (argc - optind > 2) {
        return usage_error("extra operand '%s'", argv[optind + 2]);
    }
    if (argc - optind != 2) {
        return usage_error("expected a command and a point name");
    }
    const char *command = argv[optind];
    const char *name = argv[optind + 1];
    const bool update = strcmp(command, "raise") == 0 || strcmp(command, "clear") == 0;
    if (!update && strcmp(command, "query") != 0) {
        return usage_error("unknown command '%s'", command);
    }
    if (!update && info.any) {
        return usage_error("runtime options go with raise and clear, not '%s'", command);
    }
    if (name[0] == '\0') {
        return usage_error("the point name is empty");
    }
    if (update && check_update_size(name, &info) != EXIT_OK) {
        return EXIT_USAGE;
    }

    /* The library reports its failures to the system log; LOG_PERROR shows
     * them on stderr too, where a shell user looks. Its informational lines
     * only with --verbose. */
    openlog("marl", LOG_PERROR, LOG_USER);
    setlogmask(LOG_UPTO(verbose ? LOG_DEBUG : LOG_NOTICE));
    const int status = run(command, name, &info, verbose);
    closelog();
    return status;
}
