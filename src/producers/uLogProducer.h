// Log producers: the objects that put one log message somewhere, and the
// registry that routes every message to them. This header gathers the
// module's parts:
//
//   uCustomLogProducer   the producer base and its seven texts
//   uLogFileTable        the shared table of open log files
//   uFileLogProducer     hourly files under BaseCatalog
//   uExternalLogProducer producer libraries on a thread of their own
//   uProviderKey         the keys of [Providers] entries
//   uLogProducerHolder   the registry
#pragma once

#include "producers/uCustomLogProducer.h"
#include "producers/uExternalLogProducer.h"
#include "producers/uFileLogProducer.h"
#include "producers/uLogFileTable.h"
#include "producers/uLogProducerHolder.h"
#include "producers/uProviderKey.h"
