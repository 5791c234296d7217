// Server components: the owner-facing objects through which the service
// configures, starts and stops its network servers. This header gathers them:
//
//   uIPServerComponent   the interface both components share
//   uTCPServerComponent  the TCP component and its listener classes
//   uUDPServerComponent  the UDP component
#pragma once

#include "net/uIPServerComponent.h"
#include "net/uTCPServerComponent.h"
#include "net/uUDPServerComponent.h"
