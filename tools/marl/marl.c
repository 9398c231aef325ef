/*
 * marl: raise, clear or query a point at the point service from the shell,
 * through libmarlclient's public C interface only.
 *
 *   marl raise NAME     marl clear NAME     marl query NAME
 *
 * Exit status: 0 on success; 1 when the library reported a failure (its
 * reason is on stderr and in the system log); 2 on a usage error.
 */
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "marlclient.h"

enum { EXIT_OK = 0, EXIT_LIBRARY_FAILURE = 1, EXIT_USAGE = 2 };

static void usage(FILE *out)
{
    fputs("Usage: marl [OPTION]... COMMAND NAME\n"
          "Raise, clear or query the point NAME at the point service.\n"
          "\n"
          "Commands:\n"
          "  raise NAME   set the point\n"
          "  clear NAME   clear the point\n"
          "  query NAME   print the point's state: set or clear\n"
          "\n"
          "Options:\n"
          "  -h, --help      show this help and exit\n"
          "  -V, --version   show the version and exit\n"
          "\n"
          "Exit status: 0 on success, 1 when the library reported a failure\n"
          "(the reason is on stderr and in the system log), 2 on a usage error.\n"
          "The service is found through the \"marl\" entry of the services database\n"
          "and the central node's address from libcmnHal.\n",
          out);
}

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"help", no_argument, NULL, 'h'},
        {"version", no_argument, NULL, 'V'},
        {NULL, 0, NULL, 0},
    };
    int option;
    while ((option = getopt_long(argc, argv, "+hV", options, NULL)) != -1) {
        switch (option) {
        case 'h':
            usage(stdout);
            return EXIT_OK;
        case 'V':
            printf("marl %s\n", MARL_VERSION);
            return EXIT_OK;
        default:
            usage(stderr);
            return EXIT_USAGE;
        }
    }
    if (argc - optind != 2) {
        fprintf(stderr, "marl: expected a command and a point name\n");
        usage(stderr);
        return EXIT_USAGE;
    }
    const char *command = argv[optind];
    const char *name = argv[optind + 1];

    /* The library reports its failures to the system log; LOG_PERROR shows
     * them on stderr too, where a shell user looks. */
    openlog("marl", LOG_PERROR, LOG_USER);
    int status = EXIT_OK;
    if (strcmp(command, "raise") == 0 || strcmp(command, "clear") == 0) {
        if (!update_marl_point(name, strcmp(command, "raise") == 0 ? 1 : 0)) {
            status = EXIT_LIBRARY_FAILURE;
        }
    } else if (strcmp(command, "query") == 0) {
        uint8_t value = 0;
        if (read_marl_point(name, &value)) {
            puts(value ? "set" : "clear");
        } else {
            status = EXIT_LIBRARY_FAILURE;
        }
    } else {
        fprintf(stderr, "marl: unknown command '%s'\n", command);
        usage(stderr);
        status = EXIT_USAGE;
    }
    closelog();
    return status;
}
