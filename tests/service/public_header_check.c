/* The service's public header is C as well as C++: this file only has to
 * compile, with every warning an error. */
#include "kelo/service_control.h"

const unsigned kPortRequestSize = sizeof(PortRequest);
const unsigned kStatusRecordSize = sizeof(StatusRecord);
const unsigned kCodes[] = {KLP_RESET_PRINTER, KLP_UPDATE_PRINTERSTATUS, KLP_GET_PRINTERSTATUS,
                           KLP_STOP_PORTMONITOR};
