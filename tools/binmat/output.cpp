#include "output.h"

#include "command.h"

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

[[noreturn]] void refused(const std::string &name, const std::exception &e) {
    if (dynamic_cast<const binmat::same_file_error *>(&e) != nullptr) {
        throw failure(status_usage, name + ": is also an input; writing it would destroy what is "
                                           "read");
    }
    if (const auto *error = dynamic_cast<const std::system_error *>(&e)) {
        throw failure(status_bad_data, name + ": " + error->code().message());
    }
    throw failure(status_bad_data, name + ": " + e.what());
}

} // namespace

void install_signal_handlers() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        handle(signal, on_termination);
    }
    handle(SIGBUS, on_bus_error);
    std::signal(SIGXFSZ, SIG_IGN);
}

void add_no_sync(CLI::App &app, bool &no_sync) {
    app.add_flag("--no-sync", no_sync,
                 "do not wait for the output to reach the disk (for scratch files)");
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
    try {
        file_ = path == "-" ? std::make_unique<binmat::output_file>(STDOUT_FILENO, path, options)
                            : std::make_unique<binmat::output_file>(path, options);
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &e) {
        refused(path, e);
    }
}

FILE *output_file::stream() {
    try {
        return file_->stream();
    } catch (const std::system_error &e) {
        write_failed(name_, e.code().value());
    }
}

std::string output_file::name_for_library() {
    try {
        return file_->name_for_library().string();
    } catch (const std::system_error &e) {
        write_failed(name_, e.code().value());
    }
}

void output_file::commit() {
    output_file *self[] = {this};
    commit_all(self);
}

void check_distinct(std::span<output_file *const> outputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (outputs[i]->same_file(*outputs[j])) {
                throw failure(status_usage, outputs[i]->name() + ": is also the output " +
                                                outputs[j]->name() +
                                                "; each output must be a file of its own");
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
        write_failed(e.path1().string(), e.code().value());
    }
}

void write_failed(const std::string &name, int error) {
    if (name == "-") {
        standard_output_failed(error);
    }
    throw output_error(name + ": write error: " + std::strerror(error != 0 ? error : EIO));
}

} // namespace cli
