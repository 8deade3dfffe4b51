#include "crs.h"

#include "errors.h"

#include <binmat/formats/quote.h>

#include <proj.h>

#include <memory>

namespace cli {

std::string crs_wkt(const std::string &definition) {
    const std::unique_ptr<PJ_CONTEXT, decltype(&proj_context_destroy)> context(
        proj_context_create(), proj_context_destroy);
    if (!context) {
        throw std::runtime_error("PROJ could not start");
    }
    proj_log_level(context.get(), PJ_LOG_NONE);
    // A PROJ string names an operation unless it says it is a system.
    const bool operation =
        definition.starts_with("+") && definition.find("+type=crs") == std::string::npos;
    const std::string asked = operation ? definition + " +type=crs" : definition;
    const std::unique_ptr<PJ, decltype(&proj_destroy)> crs(
        proj_create(context.get(), asked.c_str()), proj_destroy);
    // A WKT given in full may run to pages: the message shows its start.
    const std::string said = "--crs " + binmat::printable(definition, 60);
    if (!crs) {
        const char *why =
            proj_context_errno_string(context.get(), proj_context_errno(context.get()));
        std::string message = said + ": PROJ does not know it";
        if (why != nullptr) {
            message += " (";
            message += why;
            message += ')';
        }
        throw usage_error(message);
    }
    if (proj_is_crs(crs.get()) == 0) {
        throw usage_error(said + ": not a coordinate reference system");
    }
    const char *const one_line[] = {"MULTILINE=NO", nullptr};
    const char *wkt = proj_as_wkt(context.get(), crs.get(), PJ_WKT1_GDAL, one_line);
    if (wkt == nullptr) {
        wkt = proj_as_wkt(context.get(), crs.get(), PJ_WKT2_2019, one_line);
    }
    if (wkt == nullptr) {
        throw usage_error(said + ": PROJ cannot write it as WKT");
    }
    return wkt;
}

} // namespace cli
