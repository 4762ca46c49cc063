// Everything a host needs: #include <tarvik/tarvik.h> and link the runtime,
// Tarvik::tarvikrt with CMake (find_package(Tarvik)) or
// `pkg-config --cflags --libs tarvik`. The component (libtarvik.so) and its
// companions are not linked: they are reached through CoCreateInstance once
// registered.
#pragma once

#include "tarvik/com.h"
#include "tarvik/companions.h"
#include "tarvik/comptr.h"
#include "tarvik/constants.h"
#include "tarvik/host.h"
#include "tarvik/interfaces.h"
#include "tarvik/object.h"
#include "tarvik/results.h"
#include "tarvik/sync.h"
#include "tarvik/text.h"
#include "tarvik/types.h"
