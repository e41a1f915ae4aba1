// The interface defaults and inline members of the host's device classes are
// compiled into the plug-in from their headers; this unit anchors them here.
#include "host/Provider.h"
#include "host/SMDSPDevice.h"
#include "host/VDeviceInterface.h"
