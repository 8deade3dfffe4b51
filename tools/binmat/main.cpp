// binmat: look inside, check, repair, convert and draw binary matrix files from the shell.
#include "commands.h"
#include "output.h"

#include <cstdio>

#ifndef BINMAT_VERSION
#error "BINMAT_VERSION comes from the build"
#endif

namespace {

using namespace cli;

constexpr const char *overview =
    R"(Binary matrix files: a grid of single-precision floats with the coordinates of
its rows and columns. FILE may be - for standard input, and -o - is standard
output. Options take their value as --option value or --option=value.

binmat help SUBCOMMAND (or binmat SUBCOMMAND --help) describes one subcommand.
Exit status: 0 success, 1 bad data or a failed write, 2 a usage error,
130 or 143 when interrupted or terminated.)";

// The help of the app or of the subcommand named `topic`, on standard output.
int print_help(CLI::App &app, const std::string &topic) {
    CLI::App *about = &app;
    if (!topic.empty()) {
        try {
            about = app.get_subcommand(topic);
        } catch (const CLI::OptionNotFound &) {
            std::fprintf(stderr, "binmat: no subcommand '%s'\nTry 'binmat help'.\n", topic.c_str());
            return status_usage;
        }
    }
    // Spelled as the command is typed: "usage: binmat info ...".
    // Formatted directly: App::help would describe whichever subcommand was given, help itself.
    std::string text =
        about->get_formatter()->make_help(about, about->get_name(), CLI::AppFormatMode::Normal);
    const std::string usage = "Usage: " + about->get_name();
    const std::size_t at = text.find(usage);
    if (at != std::string::npos) {
        text.replace(at, usage.size(),
                     about == &app ? "usage: binmat" : "usage: binmat " + about->get_name());
    }
    print(text);
    return status_ok;
}

int run(int argc, char **argv) {
    CLI::App app("", "binmat");
    app.footer(overview);
    app.set_version_flag("--version", "binmat " BINMAT_VERSION);
    app.require_subcommand(1);
    app.fallthrough(false);
    std::vector<subcommand> subcommands = {
        add_info(app),    add_check(app), add_detect(app), add_dump(app),    add_pack(app),
        add_convert(app), add_cut(app),   add_render(app), add_salvage(app), add_vrt(app)};
    std::string topic;
    CLI::App *help = app.add_subcommand("help", "describe binmat, or one subcommand");
    help->add_option("SUBCOMMAND", topic, "the subcommand to describe");
    if (argc < 2) {
        std::fputs(app.help().c_str(), stderr);
        return status_usage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        for (const subcommand &s : subcommands) {
            if (s.app->parsed()) {
                return print_help(app, s.app->get_name());
            }
        }
        return print_help(app, "");
    } catch (const CLI::CallForVersion &e) {
        print(std::string(e.what()) + "\n");
        return status_ok;
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "binmat: %s\nTry 'binmat help'.\n", e.what());
        return status_usage;
    }
    if (help->parsed()) {
        return print_help(app, topic);
    }
    for (const subcommand &s : subcommands) {
        if (s.app->parsed()) {
            return s.run();
        }
    }
    return status_usage;
}

} // namespace

int main(int argc, char **argv) {
    install_signal_handlers();
    int status = status_ok;
    try {
        status = run(argc, argv);
    } catch (...) {
        status = report_current();
    }
    return finish_standard_output(status);
}
