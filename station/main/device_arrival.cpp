// Device arrival and removal: what the window does with a WM_DEVICECHANGE
// message.
#include "main/form1.hpp"

void TForm1::WMDeviceChange(TMessage& message) {
  // Arrival and removal of volumes are not handled yet; the message goes on
  // to the default processing.
  DefaultHandler(message);
}
