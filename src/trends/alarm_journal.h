#pragma once

// The journal's entries, their states and how they are derived from reads
// live in the session, where the panel watch and the alarm command use them.
#include "session/journal_events.h"
