// The pemtrox program: plays the part of the operating system for the tunnel extension.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Container.h"
#include "platform/Log.h"
#include "proxy/io/CustomLogFormatter.h"

namespace {

const char* usage = R"(Usage: pemtrox [options]

An intercepting, recording HTTP/HTTPS proxy.

Options:
  --container DIR   the app group container (settings, recordings, log, CA);
                    default $PEMTROX_CONTAINER, else $XDG_DATA_HOME/pemtrox
  --help            print this help and exit
  --version         print the version and exit
)";

int usageError(const std::string& text) {
    std::fprintf(stderr, "pemtrox: %s\nTry 'pemtrox --help'.\n", text.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using namespace pemtrox;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto& a = args[i];
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("pemtrox %s\n", PEMTROX_VERSION);
            return 0;
        } else if (a == "--container") {
            if (i + 1 >= args.size())
                return usageError("--container needs a directory");
            Container::setDirectory(args[++i]);
        } else {
            return usageError("unknown option '" + a + "'");
        }
    }
    auto console = std::make_shared<ConsoleLogger>(logLevelErrorWarning | static_cast<std::uint32_t>(LogFlag::info));
    console->setFormatter(std::make_shared<CustomLogFormatter>());
    Log::addLogger(console);
    auto container = Container::directory();
    if (!container)
        fatalError("Couldn't get container URL");
    logMessage("Container: " + container->string());
    std::fputs(usage, stdout);
    return 0;
}
