// --expect-zigbee FILE: at the end, the bytes the board sent on USART3 must
// equal FILE byte for byte, as --expect-console does for the console.
#include <cstdio>

#include "cli_extensions.h"
#include "transcript.h"

namespace {

std::string g_path;

const sim::CliOptionRegistration kExpectZigbee{{
    .declare =
        [](CLI::App& app) {
          sim::addFileOption(app, "--expect-zigbee", g_path,
                             "at the end, the bytes the board sent on USART3 (to the ZigBee module) must equal FILE "
                             "byte for byte");
        },
    .apply =
        [](sim::CliRun& run) {
          if (g_path.empty()) return;
          auto expected = std::make_shared<std::string>(run.files.readInput("the expected ZigBee bytes", g_path));
          sim::Board& board = run.board;
          std::string path = g_path;
          run.atEnd.push_back([expected, &board, path](const sim::Stop*) {
            auto difference = sim::compareTranscript(*expected, board.zigbee().uart().received(), "the ZigBee output");
            if (!difference) return sim::CliEndStatus{};
            std::fprintf(stderr, "tl500-sim: %s: %s\n", path.c_str(), difference->c_str());
            return sim::CliEndStatus{sim::OptionFinding::OutputDiffers, false};
          });
        },
}};

}  // namespace
