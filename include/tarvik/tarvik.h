// Everything a host needs: #include <tarvik/tarvik.h> and link Tarvik::tarvik
// (or `pkg-config --libs tarvik`).
#pragma once

#include "tarvik/com.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/results.h"
#include "tarvik/sync.h"
#include "tarvik/text.h"
#include "tarvik/types.h"
