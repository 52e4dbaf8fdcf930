// String-table ids shared by the code and the resource scripts.
#pragma once

#define IDS_SYSTEM_ERROR 104  // "System error. Code: %d."
#define IDS_COM_ERROR    123  // "COM error %#.8x"
#define IDS_UNABLE_TO_CONNECT   105  // "Unable to connect to the reader."
#define IDS_MODEL_NOT_SUPPORTED 112  // "Reader model (0x%.2X) is not supported."
#define IDS_DRIVER_DESCRIPTION 119  // "Driver for input devices"
// The settings description: choice-list labels, the page, its groups and the parameter captions.
#define IDS_SETTINGS_AUTO            120
#define IDS_SETTINGS_FOUND_PORTS     121
#define IDS_SETTINGS_MORE_PORTS      122
#define IDS_SETTINGS_PAGE            170
#define IDS_SETTINGS_CONNECTION      171
#define IDS_SETTINGS_PORT            172
#define IDS_SETTINGS_MODEL           173
#define IDS_SETTINGS_SPEED           174
#define IDS_SETTINGS_WIEGAND         181
#define IDS_SETTINGS_PREFIX          184
#define IDS_SETTINGS_SUFFIX          185
#define IDS_SETTINGS_DEVICE          186
#define IDS_SETTINGS_KEY_FORMAT      187
#define IDS_SETTINGS_FORMAT          188

// Add-in log lines; the number a line carries is the id minus 1000 (the header keeps 1001).
#define IDS_LOG_HEADER                1001
#define IDS_LOG_OPEN_PORT             1002
#define IDS_LOG_OPEN_PORT_FAILED      1003
#define IDS_LOG_CLOSED_PORT           1004
#define IDS_LOG_PORT_ERROR            1005
#define IDS_LOG_RECEIVED              1006
#define IDS_LOG_SENT                  1007
#define IDS_LOG_CONFIGURED_PORT       1008
#define IDS_LOG_CONFIGURE_PORT_FAILED 1009
#define IDS_LOG_READER_CONNECTED      1010
#define IDS_LOG_READER_CONNECT_FAILED 1011
#define IDS_LOG_READER_DISCONNECTED   1012
#define IDS_LOG_OS_ERROR              1013
#define IDS_LOG_ERROR                 1014
#define IDS_LOG_KEY_FOUND             1015
#define IDS_LOG_KEY_LOST              1016
#define IDS_LOG_NUMBER_TRANSFERRED    1017
#define IDS_LOG_NUMBER_TRANSFER_ERROR 1018
#define IDS_LOG_NO_FORMAT_FOR_KEY     1019
#define IDS_LOG_READER_FORMAT_SET     1020
#define IDS_LOG_KEY_TRANSFERRED       1030
#define IDS_LOG_KEY_TRANSFER_FAILED   1031
#define IDS_LOG_COM_LIST_FAILED       1032
#define IDS_LOG_COM_PORTS_FOUND       1033
#define IDS_LOG_CALL_EXTERNAL_EVENT   1034
#define IDS_LOG_EXTERNAL_EVENT_RESULT 1035
#define IDS_LOG_CALL_ADD_ERROR        1036
#define IDS_LOG_ADD_ERROR_RESULT      1037
#define IDS_LOG_CALL_PROCEDURE        1038
#define IDS_LOG_PROCEDURE_DONE        1039
#define IDS_LOG_PROCEDURE_ERROR       1040
#define IDS_LOG_CALL_FUNCTION         1041
#define IDS_LOG_FUNCTION_DONE         1042
#define IDS_LOG_FUNCTION_ERROR        1043
#define IDS_LOG_SET_PROPERTY          1044
#define IDS_LOG_SET_PROPERTY_DONE     1045
#define IDS_LOG_SET_PROPERTY_ERROR    1046
#define IDS_LOG_UDP_SENT              1047
#define IDS_LOG_UDP_RECEIVED          1048
#define IDS_LOG_SEARCH_BEGIN          1049
#define IDS_LOG_SEARCH_END            1050
#define IDS_LOG_SOURCE_SEARCH         189   // the source of the reader search's log lines
#define IDS_LOG_FINISH                1051
