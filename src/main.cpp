// Process entry: logging, command line, the three conversion stages, the error report.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "cli.h"
#include "converter/converter.h"
#include "error.h"
#include "helper/helper.h"
#include "log.h"

namespace {

using kestro::log::write_all;

// One write, so that the report is never interleaved with anything else on stderr.
int report_failure(const std::string& report) {
    write_all(STDERR_FILENO, "Error: " + report + "\n");
    return 1;
}

// Refuses, before anything is read or written, an output that would replace one of the
// inputs (whatever path names it: a symbolic or hard link, "../") or that the user may not
// write, so that neither costs a whole conversion first. Only a regular file can be
// replaced; a device named twice (/dev/null as weights and output) is not. A path that
// reaches an input only once the inputs are open (/proc/self/fd/3) is refused by the
// writer.
void refuse_unusable_output(const kestro::Cli& cli) {
    struct stat out {};
    if (::stat(cli.output_onnx.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return;
    const std::pair<const std::string*, const char*> inputs[] = {
        {&cli.model_json, "program"}, {&cli.model_pdiparams, "weight file"}};
    for (const auto& [path, what] : inputs) {
        struct stat in {};
        if (::stat(path->c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            throw kestro::output_is_input_error(cli.output_onnx, what, *path);
    }
    if (::faccessat(AT_FDCWD, cli.output_onnx.c_str(), W_OK, AT_EACCESS) != 0)
        throw kestro::os_error(errno);
}

void run(const kestro::Cli& cli) {
    KLOG(kestro::Level::Info, "kestro", "=== PaddlePaddle to ONNX Converter ===");
    KLOG(kestro::Level::Info, "kestro", "Target Opset: {}", cli.opset);

    kestro::Converter converter;
    // Both are copied before any stage runs, so every lowering sees the command line's
    // opset and switch.
    converter.opset = cli.opset;
    converter.strict = cli.strict;

    refuse_unusable_output(cli);
    converter.load_paddle_model(cli.model_json);
    converter.load_paddle_weights(cli.model_pdiparams);
    converter.export_onnx(cli.output_onnx, cli.opset);
}

}  // namespace

int main(int argc, char** argv) {
    // A file-size limit or a reader that went away make writes fail with an error that is
    // reported like any other, instead of ending the process without a word: a log reader
    // that stops reading must not stop the conversion.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    kestro::log::init_from_env();

    const kestro::CliOutcome parsed = kestro::parse_cli(argc, argv);
    if (!parsed.cli) {
        write_all(STDOUT_FILENO, parsed.out);
        write_all(STDERR_FILENO, parsed.err);
        return parsed.exit_code;
    }

    try {
        run(*parsed.cli);
    } catch (const kestro::Error& e) {
        return report_failure(e.report());
    } catch (const std::bad_alloc&) {
        // A weight or program too large for the memory at hand: report it like any other
        // failure rather than dying without a word.
        return report_failure("memory allocation failed");
    } catch (const std::exception& e) {
        return report_failure(e.what());
    }
    return 0;
}
