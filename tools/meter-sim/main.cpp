// meter-sim: a simulated bus of water meters with valves for the console's
// serial and network tabs. See --help.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Bus.h"
#include "Server.h"
#include "Setup.h"

int main(int argc, char** argv) {
    // Tests and the demo read our lines through a pipe: never hold one back.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    metersim::Options options;
    try {
        options = metersim::ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const metersim::SetupError& e) {
        std::fprintf(stderr, "meter-sim: %s\n", e.what());
        return 2;
    }
    if (options.help) {
        std::fputs(metersim::UsageText().c_str(), stdout);
        return 0;
    }

    try {
        metersim::Bus bus(options.meters, options.timing);
        metersim::Server server(bus, options.verbose, options.echo);
        if (!options.ptyLink.empty())
            server.OpenPty(options.ptyLink, options.timing.baud);
        if (options.tcp)
            server.ListenTcp(options.tcpHost, options.tcpPort);
        if (options.verbose)
            for (const metersim::Meter& meter : bus.Meters())
                std::printf("meter %s\n", metersim::DescribeMeter(meter).c_str());
        return server.Run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "meter-sim: %s\n", e.what());
        return 1;
    }
}
