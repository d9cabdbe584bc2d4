/* Dashboard widgets it does not stand by: the reply says "success": false. */
#define WIDGET_NAME "WidgetOff"
#define WIDGET_REPLY "{\"success\": false, \"widgets\": [{\"id\": \"off\"}]}"
#include "common/widget_c.h"
