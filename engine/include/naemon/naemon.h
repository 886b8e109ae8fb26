/* The engine's public interface for event-broker modules. */
#ifndef NAEMON_NAEMON_H_INCLUDED
#define NAEMON_NAEMON_H_INCLUDED

#include "nm_alloc.h"
#include "common.h"
#include "objects.h"
#include "macros.h"
#include "broker.h"
#include "nebcallbacks.h"
#include "nebstructs.h"
#include "nebmods.h"
#include "notifications.h"
#include "utils.h"

#endif
