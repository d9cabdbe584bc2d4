// Plug-in updates and packages: the registry's update list, a check-in on demand, install from
// the registry, upload of a package file and uninstall.
#pragma once

#include "ov_route_api.h"

namespace ov {

// The first uploaded file of a multipart request when it is a plug-in package (".ovp" or ".zip",
// ASCII case ignored) with data; otherwise the 400 answer has been sent ("No file uploaded",
// "File must be a .ovp or .zip plugin package", "Upload failed - no file data received",
// "Uploaded file is empty") and nullptr is returned.
const TOVUploadedFile* UploadedPackageOrFail(TOVApiRequest& c);

void HandlePluginUpdates(TOVApiRequest& c);
void HandlePluginUpdateCheck(TOVApiRequest& c);
void HandlePluginUpdateCount(TOVApiRequest& c);
void HandleInstallPlugin(TOVApiRequest& c);
void HandleUploadPlugin(TOVApiRequest& c);
void HandleUninstallPlugin(TOVApiRequest& c);

}  // namespace ov
