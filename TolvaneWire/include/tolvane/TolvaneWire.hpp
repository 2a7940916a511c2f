// TolvaneWire.hpp: every wire reader in one include.
#pragma once

#include <tolvane/wire/DNSAnswer.hpp>
#include <tolvane/wire/HTTPRequestHead.hpp>
#include <tolvane/wire/PacketView.hpp>
#include <tolvane/wire/QUICInitial.hpp>
#include <tolvane/wire/TLSClientHello.hpp>
