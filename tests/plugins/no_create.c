/* Refused: a library without OVPluginCreate. */
#include "orvanta/plugin_abi.h"

int32_t OVPluginAPIVersion(void) { return OV_PLUGIN_API_VERSION; }
