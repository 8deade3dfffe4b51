#include "output.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace cli {

namespace {

extern "C" void on_termination(int signal) {
    binmat::remove_pending_outputs();
    ::_exit(128 + signal);
}

extern "C" void on_bus_error(int) {
    binmat::remove_pending_outputs();
    constexpr char message[] = "binmat: an input file shrank while it was being read\n";
    [[maybe_unused]] const ssize_t said = ::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(status_bad_data);
}

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // A signal the caller chose to ignore (a background job's SIGINT) stays ignored.
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace

void install_signal_handlers() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        handle(signal, on_termination);
    }
    handle(SIGBUS, on_bus_error);
    std::signal(SIGXFSZ, SIG_IGN);
}

output_file::output_file(const std::string &path, const std::vector<std::string> &inputs, bool sync)
    : name_(path) {
    binmat::output_options options;
    options.sync = sync;
    for (const std::string &input : inputs) {
        if (!input.empty()) {
            options.inputs.emplace_back(input == "-" ? "/dev/stdin" : input);
        }
    }
    about(path, concerning::doing::opening_output, [&] {
        file_ = path == "-" ? std::make_unique<binmat::output_file>(STDOUT_FILENO, path, options)
                            : std::make_unique<binmat::output_file>(path, options);
    });
}

void output_file::commit() {
    output_file *self[] = {this};
    commit_all(self);
}

void check_distinct(std::span<output_file *const> outputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (outputs[i]->same_file(*outputs[j])) {
                throw usage_error(outputs[i]->name() + ": is also the output " +
                                  outputs[j]->name() + "; each output must be a file of its own");
            }
        }
    }
}

void commit_all(std::span<output_file *const> outputs) {
    std::vector<binmat::output_file *> files;
    for (output_file *out : outputs) {
        files.push_back(out->file_.get());
    }
    try {
        binmat::commit_all(files);
    } catch (const binmat::output_error &e) {
        // Named as it was given.
        std::throw_with_nested(concerning(e.path1().string(), concerning::doing::writing_output));
    }
}

} // namespace cli
