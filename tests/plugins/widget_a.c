/* Dashboard widgets: two of them. */
#define WIDGET_NAME "WidgetA"
#define WIDGET_REPLY "{\"success\": true, \"widgets\": [{\"id\": \"a1\"}, {\"id\": \"a2\"}]}"
#include "common/widget_c.h"
