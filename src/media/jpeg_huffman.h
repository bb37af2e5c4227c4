// The Huffman tables of ITU-T T.81 Annex K.3, the only ones an RFC 2435
// receiver knows: a picture coded with others cannot be sent in that form.
#pragma once

#include <cstdint>
#include <span>

// Whether the body of a DHT segment (one or more tables) defines only the
// standard tables, each under the class and id an RFC 2435 receiver uses for
// it (DC/AC luma as table 0, DC/AC chroma as table 1).
bool jpeg_dht_is_standard(std::span<const uint8_t> body);
