// kstv_validate: `vst2host validate` alone, for builds that do not build the
// command-line host but still validate their plug-in.
#include <algorithm>
#include <cstdio>

#include "tools/vst2host/tool.h"
#include "tools/vst2host/validate/command.h"

int main(int argc, char** argv) try {
    CLI::App app("kstv_validate - the validator of vst2host alone", "kstv_validate");
    app.require_subcommand(1);
    app.allow_windows_style_options(false);
    CLI::App* validate = tool::addValidateCommand(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        std::replace(what.begin(), what.end(), '\n', ' ');
        (void)std::fprintf(stderr, "kstv_validate: %s (see kstv_validate --help)\n", what.c_str());
        return tool::kUsage;
    }
    try {
        return *validate ? tool::runValidate() : tool::kUsage;
    } catch (const tool::Error& e) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "kstv_validate: %s\n", e.what());
        return e.code();
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "kstv_validate: internal error: %s\n", e.what());
        return tool::kInternal;
    }
} catch (...) {
    (void)std::fprintf(stderr, "kstv_validate: internal error while starting\n");
    return tool::kInternal;
}
