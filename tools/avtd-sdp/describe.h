// The description parameters of the stream the daemon sends with the given
// options: the options themselves plus what the frame store tells.
#pragma once

#include <string>

#include "options.h"
#include "sdp_text.h"

namespace sdp {

// Fills the parameters; reads the stream's store unless o.no_store.
// `store_error` gets why the store told nothing, when it should have.
SdpParams describe_stream(const SdpOptions& o, std::string* store_error);

// The device's address of the destination's family, empty when unknown.
std::string device_address(const std::string& device, bool v6);

} // namespace sdp
