// The ZigBee line as scripts name it: `send zigbee TEXT` is what a peer in
// radio range sends (the module passes it on to the board, or drops it while
// in reset); `wait zigbee TEXT` looks at what the board sent on USART3, as the
// module's UART received it.
#include "../board.h"
#include "command_table.h"

namespace sim {

namespace {

const ScriptSerialLineRegistration kZigbeeLine{{
    .name = "zigbee",
    .about = "USART3, the ZigBee module: send is what a peer sends over the air",
    .endpoint = [](Board& board) -> SerialEndpoint& { return board.zigbee().uart(); },
    .send = [](Board& board, std::string_view bytes) { board.zigbee().fromPeer(bytes); },
    .onDropped = [](Board& board, LostListener listener) { return board.zigbee().onDropped(std::move(listener)); },
    .undelivered = [](Board& board) { return board.zigbee().undelivered(); },
    .boardPort = "USART3",
}};

}  // namespace

}  // namespace sim
