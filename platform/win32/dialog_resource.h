// Resource identifiers of the settings dialog, shared by the resource script and the view.
#pragma once

#define IDD_VASKEL_SETTINGS 4015
#define IDC_DEVICE_BUFFER 4157
#define IDC_JOG_BUFFER 4158
