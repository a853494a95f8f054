// The socket the program uses: TCustomWSocket with its SOCKS, TLS, line and waiting layers, each
// of which passes everything through until configured. See net/TCustomWSocket.h for the
// threading and ownership rules.
#pragma once

#include "net/TCustomSyncWSocket.h"

class TWSocket : public TCustomSyncWSocket {
public:
    TWSocket() = default;
};
