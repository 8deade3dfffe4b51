#include "grid_io.h"

#include "command.h"

#include <cstdio>
#include <system_error>

namespace cli {

void naming_errors(const std::string &name, const std::function<void()> &work) {
    try {
        work();
    } catch (const failure &) {
        throw;
    } catch (const binmat::format_error &e) {
        throw failure(status_bad_data, name + ": " + e.what());
    } catch (const binmat::memory_error &e) {
        throw failure(status_bad_data, name + ": " + e.what());
    } catch (const std::system_error &e) {
        throw failure(status_bad_data, name + ": " + e.code().message());
    } catch (const std::invalid_argument &e) {
        throw failure(status_bad_data, name + ": " + e.what());
    }
}

binmat::grid read_grid(const input_file &in, binmat::byte_order order) {
    binmat::grid g;
    naming_errors(in.name(), [&] { g = binmat::read(in.raw(), {order}); });
    return g;
}

void warn(const std::string &name, const std::string &text) {
    std::fprintf(stderr, "binmat: warning: %s: %s\n", name.c_str(), text.c_str());
}

} // namespace cli
