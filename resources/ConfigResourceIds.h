// Resource ids of ConfigVombra.exe, shared by the code and the resource scripts.
#pragma once

// Files (classlib/File.*): the resource exception's text and the file exception's texts, one per cause.
#define IDS_RESOURCE_UNAVAILABLE 164
#define IDS_FILE_CAUSE_BASE 300

// The engine's exception texts in the configurator (SetExceptionStringIds at start-up).
#define IDS_CONFIG_SYSTEM_ERROR 147  // "System error. Code: %d."
#define IDS_CONFIG_COM_ERROR    148  // "COM error %#.8x"

// The settings document's preset formats (configurator/Presets.cpp): the mark in a preset's name and the
// XML text of the presets.
#define IDS_PRESET_PREFIX  211  // "[P]"
#define IDR_PRESET_FORMATS 805

// Message boxes (classlib/MessageBox.*): the caption, the "Do not ask" box, and the button texts, each at
// IDS_BUTTON_BASE + the button's id (IDOK 1 .. IDIGNORE 7, IDTRYAGAIN 10, IDCONTINUE 11).
#define IDS_APP_CAPTION  102  // "Vombra Configurator"
#define IDS_DO_NOT_ASK   172  // "Do not ask"
#define IDS_BUTTON_BASE  172

// The main window (configurator/MainFrame.*): the system menu's About item, the questions, the status
// texts, the tab captions (IDS_PAGE_CAPTION_BASE + page index), the buttons (their command ids are their
// texts' string ids), the controls and the accelerators.
#define IDS_ABOUT_MENU_ITEM    103
#define IDS_SAVE_FAILED_QUIT   108
#define IDR_MAIN_ACCELERATORS  109
#define IDS_REALLY             120
#define IDS_SAVE_CHANGES       127
#define IDS_CONFIG_LOADED      281
#define IDS_CONFIG_LOAD_ERROR  282
#define IDS_CONFIG_SAVED       283
#define IDS_CONFIG_SAVE_ERROR  284
#define IDS_PAGE_CAPTION_BASE  950
#define IDC_MAIN_TAB           1
#define IDC_MAIN_STATUS        1211
#define ID_CONFIG_LOAD         32775
#define ID_CONFIG_SAVE         32776
#define ID_CONFIG_RESET_ALL    32777
#define ID_MAIN_HELP           32778
#define ID_APP_ABOUT           32780

// The pages (configurator/AppPage.*, AdvancedPage.*, UiHelpers.*) and the About box (AboutDialog.*): the
// default bases of unique names, the page templates (IDD_PAGE_FIRST + page index), the Configurator
// page's check boxes and the About box's controls.
#define IDS_FORMAT_NAME        129  // "Format"
#define IDS_FILTER_NAME        184  // "Filter"
#define IDD_ABOUT              901
#define IDD_PAGE_FIRST         950
#define IDD_PAGE_ADVANCED      954
#define IDC_ABOUT_TITLE        1002
#define IDC_ABOUT_VERSION      1003
#define IDC_ABOUT_WEB_LINK     1004
#define IDC_ABOUT_MAIL_LINK    1005
#define IDC_CONFIRM_DELETE     1151
#define IDC_CONFIRM_REPLACE    1152
#define IDC_CONFIRM_LOAD       1153
#define IDC_CONFIRM_SAVE       1154
#define IDC_CONFIRM_RESET      1155
#define IDC_ALT_LIST_BK_COLOR  1156
#define IDC_TABLE_GRID         1157
#ifndef IDI_APP
#define IDI_APP                700  // the program's icon (ConfigApp.rc)
#endif

// The application (configurator/ConfigVombraApp.*, ConfigApp.rc): the shared image list, the key-type
// names, the value-type names (IDS_VARIANT_TYPE_FIRST + VariantTypeIndex) and the boolean names.
#define IDB_APP_IMAGES         712
#define IDR_KEY_TYPE_NAMES     801
#define IDS_VARIANT_TYPE_FIRST 263  // "?", "Null", "Undefined", "Number", "String", "Boolean", "BinaryData"
#define IDS_FALSE              285
#define IDS_TRUE               286

// The table control (classlib/TableCtrl.*, ConfigTable.rc): the header menu; the table inserts one item per
// column (35000 + column record) before its own three commands.
#define IDR_TABLE_HEADER_MENU        825
#define ID_TABLE_CUSTOMIZE_COLUMNS   32785
#define ID_TABLE_DEFAULT_COLUMNS     32786
#define ID_TABLE_NO_SORT_HEADER      32787

// The column chooser (classlib/ColumnChooser.*, ConfigChooser.rc); the code names them with its own enum.
#define IDB_CC_CHECKS               718  // unchecked, checked, undetermined box; 16 px on magenta
#define IDR_CC_MENU                 826
#define IDD_CUSTOMIZE_COLUMNS       910
#define IDS_CC_ALIGN_LEFT           406
#define IDS_CC_ALIGN_RIGHT          407
#define IDS_CC_ALIGN_CENTER         408
#define IDS_CC_COL_NUMBER           510
#define IDS_CC_COL_NAME             511
#define IDS_CC_COL_ALIGN            512
#define IDS_CC_COL_AUTOSIZE         513
#define IDS_CC_COL_VISIBLE          514
#define IDC_CC_LIST                 1125
#define IDC_CC_NAME_LABEL           1126
#define IDC_CC_NAME                 1127
#define IDC_CC_ALIGN_LABEL          1128
#define IDC_CC_ALIGN                1129
#define IDC_CC_VISIBLE              1131
#define IDC_CC_AUTOSIZE             1133
#define ID_CC_SELECT_ALL            32788
#define ID_CC_DEFAULT_COLUMNS       32789
#define ID_CC_APPLY                 32848

// The add-in host (configurator/TestVombra.*, ConfigHostStrings.rc): load and call failures.
#define IDS_HOST_INIT_FAILED         161  // "Failed to initialize Vombra component."
#define IDS_HOST_CREATE_FAILED       162  // "Failed to create component Vombra."
#define IDS_HOST_SET_PROPERTY_FAILED 194  // "Failed to set property \"%s\" components =%s."
#define IDS_HOST_METHOD_FAILED       196  // "Failed to execute method \"%s\"."
#define IDS_HOST_METHOD_NOT_FOUND    197  // "\"%s\" method not found."
#define IDS_HOST_PROPERTY_NOT_FOUND  198  // "\"%s\" property not found."

// The format dialog (configurator/FormatDialog.*, ConfigFormatDialog.rc): its template, the key-filter
// list's menu, its controls and its texts.
#define IDD_FORMAT                   902
#define IDR_FORMAT_KEY_FILTERS_MENU  811
#define IDS_DEFAULT_KEY_FILTER       104  // "Default"
#define IDS_FIELD_REQUIRED           107  // "Field must be filled in."
#define IDS_REPLACE_ITEM             110  // "Item \"%s\" already exists. Replace?"
#define IDS_REPLACE_ITEMS            111  // "Replace %d items?"
#define IDS_ERROR_POSITION           122  // " (position %d)"
#define IDS_FORMAT_CORRECT           146  // "Format is correct."
#define IDS_WAITING_KEY              200  // "Waiting key."
#define IDS_NO_CONNECTION            201  // "No connection."
#define IDC_FORMAT_CHECK             1076
#define IDC_FORMAT_SAVE              1077
#define IDC_FORMAT_NAME              1078
#define IDC_FORMAT_TEMPLATE          1079
#define IDC_FORMAT_PARAMS            1080
#define IDC_FORMAT_COMMENT           1081
#define IDC_FORMAT_COMMENT_LABEL     1082
#define IDC_FORMAT_KEY_FILTERS       1083
#define IDC_FORMAT_KEY_FILTERS_LABEL 1084
#define IDC_FORMAT_SAMPLE            1085
#define IDC_FORMAT_TEST              1086
#define IDC_FORMAT_NAME_LABEL        1087
#define IDC_FORMAT_TEMPLATE_LABEL    1088
#define IDC_FORMAT_PARAMS_LABEL      1089
#define ID_FORMAT_CHECK_ALL          32846
#define ID_FORMAT_UNCHECK_ALL        32847

// The key dialog (configurator/KeyDialog.*, ConfigKeyDialog.rc).
#define IDD_KEY_DIALOG               909
#define IDS_KEY_FORMAT_EM_MARINE     531
#define IDS_KEY_FORMAT_HID           532
#define IDS_KEY_FORMAT_HEX           533
#define IDS_KEY_FORMAT_DECIMAL       534
#define IDS_KEY_OUT_OF_RANGE         535  // "The key number is out of range."
#define IDC_KEY_TYPE                 1165
#define IDC_KEY_NUMBER               1167
#define IDC_KEY_SIZE                 1192
#define IDC_KEY_SIZE_SPIN            1193
#define IDC_KEY_INPUT_FORMAT         1194
#define IDC_KEY_NUMBER_GROUP         1195
#define IDC_KEY_FORMAT_LABEL         1196

// The Formats page (configurator/FormatsPage.*, ConfigFormatsPage.rc): its template, the filter tabs'
// menu and the table's menu, the toggle column's radio marks (the check boxes are IDB_CC_CHECKS), the
// tab images, the column titles (IDS_FMTCOL_CHOICE + column kind) and the commands.
#define IDD_PAGE_FORMATS             951
#define IDB_FORMATS_RADIO            719  // radio off, radio on; 16 px on magenta
#define IDB_FORMATS_TAB_IMAGES       720  // no default format, a default format; 16 px on magenta
#define IDR_FORMATS_TAB_MENU         802
#define IDR_FORMATS_MENU             805  // a menu; RCDATA 805 is the presets
#define IDS_REMOVE_ITEMS             105  // "Remove %d items?"
#define IDS_REMOVE_ITEM              106  // "Remove \"%s\"?"
#define IDS_LIST_EMPTY               143  // "List is empty."
#define IDS_FMTCOL_CHOICE            150
#define IDS_FMTCOL_NUMBER            151
#define IDS_FMTCOL_ID                152
#define IDS_FMTCOL_NAME              153
#define IDS_FMTCOL_TEMPLATE          154
#define IDS_FMTCOL_PARAMS            155
#define IDS_FMTCOL_COMMENT           156
#define IDS_FMTCOL_SAMPLE            157
#define IDS_FMTCOL_SAVE              158
#define IDS_FMTCOL_VISIBLE           159
#define IDC_FORMATS_LIST             1001
#define IDC_FORMATS_TABS             1016
#define ID_FILTER_DEFAULT            32782
#define ID_FILTER_RESET              32783
#define ID_FILTER_CUSTOMIZE          32784
#define ID_FORMAT_ADD                32821
#define ID_FORMAT_DUPLICATE          32822
#define ID_FORMAT_CHANGE             32823
#define ID_FORMAT_DELETE             32824
#define ID_FORMAT_SELECT_ALL         32825
#define ID_FORMATS_SHOW_PRESETS      32826
#define ID_FORMATS_SHOW_HIDDEN       32827
#define ID_FORMATS_SHOW_UNSAVED      32828
#define ID_FORMATS_IMPORT_CSV        32830
#define ID_FORMATS_IMPORT_EXCEL      32831
#define ID_FORMATS_IMPORT_CALC       32832
#define ID_FORMATS_EXPORT_CSV        32833
#define ID_FORMATS_EXPORT_EXCEL_FILE 32834
#define ID_FORMATS_EXPORT_EXCEL      32835
#define ID_FORMATS_EXPORT_CALC_FILE  32836
#define ID_FORMATS_EXPORT_CALC       32837
#define ID_FORMATS_SET_READER_FORMAT 32838
#define ID_FORMATS_CHANGE_LAST_KEY   32839

// The Reading keys page (configurator/ReadKeysPage.*, MifarePages.*, UltralightTemicPages.*,
// ConfigReadKeys.rc): the tab host, its five sub-pages (dialog and tab text share an id), the key-type
// menu and the cell menu, the cell text, the texts of refused input, controls and commands.
#define IDD_PAGE_READ_KEYS           952
#define IDD_READ_KEYS_GENERAL        962
#define IDD_READ_KEYS_MIFARE_C       963
#define IDD_READ_KEYS_MIFARE_P       964
#define IDD_READ_KEYS_MIFARE_UL      965
#define IDD_READ_KEYS_TEMIC          966
#define IDR_KEY_TYPES_MENU           801  // a menu; RCDATA 801 is the key-type names
#define IDR_KEY_CELLS_MENU           808
#define IDS_KEY_CELL                 144  // "Cell #%d"
#define IDS_ALL                      149  // "All"
#define IDS_RK_REFUSED_DELAY         570
#define IDS_RK_REFUSED_MC_KEY        571
#define IDS_RK_REFUSED_MP_KEY        572
#define IDS_RK_REFUSED_SCAN          573
#define IDS_RK_REFUSED_PASSWORD      574
#define IDC_RK_AUTH_KEY_A            1105
#define IDC_RK_AUTH_KEY_B            1106
#define IDC_RK_KEY_VALUE             1100
#define IDC_RK_KEY_CELLS_MODE        1101
#define IDC_RK_AUTH_KEY              1102
#define IDC_RK_MIFARE_ENABLED        1103
#define IDC_RK_KEY_CELLS             1104
#define IDC_RK_UL_ENABLED            1108
#define IDC_RK_KEY_TYPES_GROUP       1112
#define IDC_RK_KEY_TYPES             1113
#define IDC_RK_TEMIC_UID             1160
#define IDC_RK_TEMIC_DATA            1161
#define IDC_RK_TEMIC_USE_PASSWORD    1162
#define IDC_RK_TEMIC_PASSWORD        1163
#define IDC_RK_SECTOR                1174
#define IDC_RK_BLOCK                 1176
#define IDC_RK_UL_PAGE               1178
#define IDC_RK_UL_COUNT              1179
#define IDC_RK_TEMIC_ENABLED         1181
#define IDC_RK_TEMIC_FULL_ID         1182
#define IDC_RK_TEMIC_SCAN            1183
#define IDC_RK_TEMIC_BLOCK           1184
#define IDC_RK_TEMIC_COUNT           1185
#define IDC_RK_TABS                  1212
#define IDC_RK_DELAY_GROUP           1213
#define IDC_RK_DELAY                 1214
#define IDC_RK_DELAY_SPIN            1215
#define IDC_RK_HOLD_MIFARE_C         1216
#define IDC_RK_HOLD_MIFARE_P         1217
#define IDC_RK_HOLD_MIFARE_UL        1218
#define IDC_RK_HOLD_TEMIC            1219
#define IDC_RK_TEMIC_SCAN_GROUP      1220
#define IDC_RK_TEMIC_READ_GROUP      1221
#define ID_KEY_CELLS_CHECK_ALL       32800
#define ID_KEY_CELLS_UNCHECK_ALL     32801
#define ID_KEY_TYPES_CHECK_ALL       32773
#define ID_KEY_TYPES_UNCHECK_ALL     32774
#define ID_KEY_TYPES_CHECK_FIRST     32867  // .. 32872: Radio, Classic, Plus, Classic + Plus, Ultralight, Temic
#define ID_KEY_TYPES_UNCHECK_FIRST   32875  // .. 32880, in the same order
// The Sound page (configurator/SoundPage.*, ConfigSoundPage.rc): the template and its controls, the column
// titles, the event names (IDS_SOUND_EVENT_FIRST + event), the Open dialog's filter, the list's menu and
// its commands.
#define IDD_PAGE_SOUND          953
#define IDR_SOUND_MENU          827
#define IDS_SNDCOL_EVENT        130
#define IDS_SNDCOL_FILE         131
#define IDS_SNDCOL_PLAY         132
#define IDS_SNDCOL_GO           133
#define IDS_SNDCOL_BROWSE       134
#define IDS_SOUND_EVENT_FIRST   135  // .. 141
#define IDS_SOUND_FILTER        202
#define IDS_SOUND_PATH_TOO_LONG 297  // "A sound file path may be at most %d characters long."
#define IDC_SOUND_ENABLED       1032
#define IDC_SOUND_COMBO         1035
#define IDC_SOUND_LIST          1097
#define ID_SOUND_PLAY           32840
#define ID_SOUND_GO             32841
#define ID_SOUND_CHOOSE         32842
#define ID_SOUND_SELECT_ALL     32843
// The key filters dialog (configurator/KeyFiltersDialog.*, ConfigKeyFilters.rc): its template, the filter
// list's menu, the column titles (IDS_KFCOL_VISIBLE + column record), the panel's controls and commands.
#define IDD_KEY_FILTERS              903
#define IDR_KEY_FILTERS_MENU         810
#define IDS_FILTER_NAME_EXISTS       126  // "Filter named \"%s\" already exists. ..."
#define IDS_KEY_FILTERS_LIMIT        160  // "Key Filters Limit Reached (maximum 31)."
#define IDS_KFCOL_VISIBLE            185
#define IDS_KFCOL_NUMBER             186
#define IDS_KFCOL_ID                 187
#define IDS_KFCOL_NAME               188
#define IDS_KFCOL_KEY_TYPES          189
#define IDS_KFCOL_KEY_SIZE           190
#define IDS_KEY_SIZE_INVALID         541  // the key size edit holds no number 0..65535
#define IDC_KEY_FILTERS_LIST         1200
#define IDC_KEY_FILTER_NAME          1201
#define IDC_KEY_FILTER_TYPES         1203
#define IDC_KEY_FILTER_INDETERMINATE 1204
#define IDC_KEY_FILTER_SIZE          1205
#define IDC_KEY_FILTER_SIZE_SPIN     1206
#define IDC_KEY_FILTER_SHOW_TAB      1207
#define IDC_KEY_FILTER_NAME_LABEL    1208
#define IDC_KEY_FILTER_TYPES_LABEL   1209
#define IDC_KEY_FILTER_SIZE_LABEL    1210
#define ID_KEY_FILTER_ADD            32810
#define ID_KEY_FILTER_DUPLICATE      32811
#define ID_KEY_FILTER_DELETE         32812
#define ID_KEY_FILTER_SELECT_ALL     32813
#define ID_KEY_FILTER_MOVE_UP        32814
#define ID_KEY_FILTER_MOVE_DOWN      32815
#define ID_KEY_FILTER_DEFAULTS       32816
#define ID_KEY_FILTERS_APPLY         32848  // the same command as ID_CC_APPLY
#define ID_KEY_FILTERS_IMPORT_CSV    32850
#define ID_KEY_FILTERS_IMPORT_EXCEL  32851
#define ID_KEY_FILTERS_IMPORT_CALC   32852
#define ID_KEY_FILTERS_EXPORT_CSV    32853
#define ID_KEY_FILTERS_EXPORT_EXCEL_FILE 32854
#define ID_KEY_FILTERS_EXPORT_EXCEL  32855
#define ID_KEY_FILTERS_EXPORT_CALC_FILE 32856
#define ID_KEY_FILTERS_EXPORT_CALC   32857
// The Test page's Properties and Methods tabs (testbench/PropertiesPage.*, MethodsPage.*, ConfigTestTabs.rc).
#define IDD_TEST_PROPERTIES          958
#define IDD_TEST_METHODS             959
// The Connection page (configurator/MainPage.*, ConfigMainPage.rc): its template, menus, controls,
// commands and texts.
#define IDD_PAGE_MAIN                950
#define IDR_MAIN_REGISTRY_MENU       173
#define IDR_MAIN_PORTS_MENU          809
#define IDR_MAIN_LOG_MENU            812
#define IDS_AUTO                     145  // "Auto"
#define IDS_PORT_EXISTS              163  // "A port with that name already exists."
#define IDS_STORAGE_HKCU             234
#define IDS_STORAGE_HKLM             235
#define IDS_LOG_LEVEL_FIRST          274  // "Disabled" .. "Verbose": levels 0..6
#define IDS_MAIN_BAD_NUMBER          620  // "%s: enter a whole number from %d to %d."
#define IDC_MAIN_PORT                1000
#define IDC_MAIN_REQ_TIMEOUT         1010
#define IDC_MAIN_REQ_TIMEOUT_SPIN    1011
#define IDC_MAIN_CONNECT_PERIOD      1012
#define IDC_MAIN_CONNECT_PERIOD_SPIN 1013
#define IDC_MAIN_RX_PERIOD           1014
#define IDC_MAIN_RX_PERIOD_SPIN      1015
#define IDC_MAIN_REQ_TRIES           1017
#define IDC_MAIN_REQ_TRIES_SPIN      1018
#define IDC_MAIN_FIND_TIMEOUT        1019
#define IDC_MAIN_FIND_TIMEOUT_SPIN   1020
#define IDC_MAIN_FIND_TRIES          1021
#define IDC_MAIN_FIND_TRIES_SPIN     1022
#define IDC_MAIN_CONNECT_TIMEOUT     1023
#define IDC_MAIN_CONNECT_TIMEOUT_SPIN 1024
#define IDC_MAIN_REFRESH             1027
#define IDC_MAIN_LOG_SIZE            1028
#define IDC_MAIN_LOG_SIZE_SPIN       1029
#define IDC_MAIN_WIEGAND             1030
#define IDC_MAIN_SEARCH_COM          1040
#define IDC_MAIN_SEARCH_VIRTUAL      1041
#define IDC_MAIN_SEARCH_VIDPID       1042
#define IDC_MAIN_SEARCH_DESCRIPTION  1043
#define IDC_MAIN_SEARCH_IP           1044
#define IDC_MAIN_FIND_TIMEOUT_LABEL  1045
#define IDC_MAIN_FIND_TRIES_LABEL    1046
#define IDC_MAIN_STOP_BITS           1047
#define IDC_MAIN_SPEED               1048
#define IDC_MAIN_BINARY              1095
#define IDC_MAIN_MODEL               1096
#define IDC_MAIN_LOAD_AT_START       1098
#define IDC_MAIN_READER_GROUP        1107
#define IDC_MAIN_LOG_GROUP           1109
#define IDC_MAIN_SEARCH_GROUP        1110
#define IDC_MAIN_DIFFERENT_CODES     1111
#define IDC_MAIN_NVT                 1112
#define IDC_MAIN_EVENTS_GROUP        1134
#define IDC_MAIN_EVENT_CONNECT       1140
#define IDC_MAIN_EVENT_DISCONNECT    1141
#define IDC_MAIN_EVENTS_ENABLED      1142
#define IDC_MAIN_EVENT_NO_CARD       1143
#define IDC_MAIN_EVENT_COMMAND       1144
#define IDC_MAIN_SAVE_AT_END         1145
#define IDC_MAIN_VOMBRA_GROUP        1146
#define IDC_MAIN_PORTS_GROUP         1147
#define IDC_MAIN_PORTS               1148
#define IDC_MAIN_PORT_NAME           1149
#define IDC_MAIN_PORT_TOOLBAR        1150
#define IDC_MAIN_SEARCH_CCID         1164
#define IDC_MAIN_FORMAT              1168
#define IDC_MAIN_LOG_LEVEL           1210
#define IDC_MAIN_STORAGE             1223
#define ID_PORT_APPLY                32806
#define ID_PORT_NEW                  32807
#define ID_PORT_DELETE               32808
#define ID_PORT_MOVE_UP              32860
#define ID_PORT_MOVE_DOWN            32861
#define ID_PORT_SORT                 32862
#define ID_PORT_DELETE_ALL           32863
#define ID_LOG_OPEN                  32864
#define ID_LOG_GO                    32865
#define ID_LOG_CLEAR                 32866
#define ID_REGISTRY_OPEN             32881
#define ID_REGISTRY_GO               32882
#define ID_REGISTRY_DELETE           32883
#define IDD_PROPERTY                 905
#define IDD_METHOD                   907
#define IDD_METHOD_ARG               908
#define IDS_ARG_YES                  124
#define IDS_ARG_NO                   125
#define IDS_CALL_SUCCEEDED           128  // "Successfully."
#define IDS_ARG_ROW_VALUE            166
#define IDS_ARG_ROW_DEFAULT          167
#define IDS_CALL_STARTED             205  // "Call..."
#define IDS_CALL_RESULT              206  // "Result: %s"
#define IDS_CALL_OUT_VALUES          207
#define IDS_RADIX_DECIMAL            208
#define IDS_RADIX_HEX                209
#define IDS_CALL_DURATION            210  // " (%.3f sec)"
#define IDS_ENTER_NUMBER             590
#define IDS_PROPCOL_FIRST            240  // .. 245: #, Russian name, English name, Type, Value, Access
#define IDS_METHCOL_FIRST            250  // .. 255: #, Russian name, English name, Has a return value, ...
#define IDC_PROP_LIST                1054
#define IDC_PROP_REFRESH             1055
#define IDC_METH_LIST                1056
#define IDC_METH_REFRESH             1057
#define IDC_PROP_LOAD_SETTINGS       1067
#define IDC_PROP_SAVE_SETTINGS       1068
#define IDC_PROP_CHANGE              1069
#define IDC_PROPDLG_TYPE             1072
#define IDC_PROPDLG_PLACE            1073
#define IDC_RADIX_DECIMAL            1074
#define IDC_RADIX_HEX                1075
#define IDC_METH_SEARCH_READERS      1090
#define IDC_METHDLG_ARGS             1116
#define IDC_METHDLG_EXECUTE          1117
#define IDC_METHDLG_PROTOCOL         1118
#define IDC_ARGDLG_INDEX             1119
#define IDC_ARGDLG_TYPE              1120
#define IDC_ARGDLG_DEFAULT_TEXT      1121
#define IDC_VALUE_TRUE               1122
#define IDC_VALUE_FALSE              1123
#define IDC_VALUE_NUMBER             1124
#define IDC_VALUE_SPIN               1126
#define IDC_VALUE_STRING             1128
#define IDC_VALUE_NUMBER64           1129
#define IDC_VALUE_BINARY             1130  // also the argument dialog's editor place
#define IDC_ARGDLG_DEFAULT           1132
#define IDC_ARG_TEXT_COMBO           1224
#define IDC_ARG_NUMBER_COMBO         1225
#define IDC_PROPDLG_NAME             1226
#define IDC_METHDLG_NAME             1227
#define ID_METH_EXECUTE              32888
// The Test page and its Events tab (testbench/TestPage.*, EventsPage.*, ConfigTestPage.rc).
#define IDD_PAGE_TEST                955
#define IDD_TEST_EVENTS              956
#define IDB_TEST_EVENT_IMAGES        711
#define IDR_TEST_EVENTS_MENU         804
#define IDC_TEST_TABS                1052
#define IDC_TEST_LOAD                1026
#define IDC_TEST_DEVICES             1049
#define IDC_TEST_OPEN                1064
#define IDC_TEST_CLOSE               1050
#define IDC_TEST_RECONNECT           1051
#define IDC_EVENTS_LIST              1025
#define ID_EVENTS_CLEAR              32790
#define ID_EVENTS_ENGLISH            32791
#define ID_EVENTS_RUSSIAN            32792
#define IDS_EVTCOL_TIME              180
#define IDS_EVTCOL_SOURCE            181
#define IDS_EVTCOL_MESSAGE           182
#define IDS_EVTCOL_DATA              183
#define IDS_TEST_LOAD_DLL            192
#define IDS_TEST_UNLOAD_DLL          193
#define IDS_TEST_SERIAL_NUMBER       204  // "s/n %d"
#define IDS_TEST_TAB_EVENTS          231
#define IDS_TEST_TAB_PROPERTIES      232
#define IDS_TEST_TAB_METHODS         233
#define IDS_TEST_STATUS_BASE         270  // + READER_STATE 1..3
// The reader search dialog (testbench/SearchReadersDialog.*, ConfigTestSearch.rc).
#define IDD_SEARCH_READERS           906
#define IDC_SEARCH_RESULTS           1092
#define IDC_SEARCH_PROGRESS          1093
#define IDC_SEARCH_STATUS            1094
#define IDS_SEARCH_RUNNING           118  // "Search for readers..."
#define IDS_SEARCH_COMPLETE          119  // "The search is complete. %d readers found."
#define IDS_SEARCH_NOTHING           123  // "Nothing was found."
// Table import and export (configurator/tables/, ConfigTables.rc).
#define IDS_FORMATS_EXPORT_FILTER    212
#define IDS_FORMATS_IMPORT_FILTER    213
#define IDS_KEY_FILTERS_EXPORT_FILTER 214
#define IDS_KEY_FILTERS_IMPORT_FILTER 215
#define IDS_CSV_QUOTE_OPEN           580  // "%s, line %d: a quoted field is not closed."
#define IDS_IMPORT_NO_ROWS           581  // "No rows to import were found in %s."
#define IDS_IMPORT_REPLACE_QUESTION  582  // "%d items that the file does not name will be removed. ..."

// Office automation (configurator/tables/OfficeAuto.*, OfficeTables.*): resources/ConfigOffice.rc.
#define IDS_OFFICE_NOT_STARTED  625  // "%s could not be started."
#define IDS_OFFICE_EXCEL        626
#define IDS_OFFICE_CALC         627
#define IDS_XLS_TOO_MANY_ROWS   628  // "An .xls file holds at most 65,536 rows; this table has %d."

// The Connection dialog's settings form (testbench/ParamsPage.*, ConfigTestForm.rc).
#define IDD_PARAMS_FORM              957
#define IDD_PARAMS_TAB               961
#define IDR_PARAMS_FUNCTIONS_MENU    806
#define IDC_PARAMS_SAVE              1058
#define IDC_PARAMS_FUNCTIONS         1060
#define IDC_PARAMS_DRIVER            1061
#define IDC_PARAMS_VERSION           1062
#define IDC_PARAMS_TABS              1063
#define IDC_PARAMS_DRIVER_GROUP      1065
#define IDC_PARAMS_TITLE             1066
#define IDC_PARAMS_FIRST_FIELD       3000  // the generated tabs' controls, numbered on from here
#define ID_PARAMS_DEVICE_TEST        32793
#define ID_PARAMS_ACTION_FIRST       800   // + the action's index

// The Connection dialog and its XML pages (testbench/DevOpenDialog.*, XmlPage.*, ConfigTestConnection.rc).
#define IDD_DEV_OPEN                 904
#define IDD_XML_PAGE                 960
#define IDR_XML_PAGE_MENU            807
#define IDC_DEV_OPEN_TABS            1059
#define IDC_XML_TEXT                 1053
#define ID_XML_COPY                  32795
#define ID_XML_COPY_ALL              32796
#define ID_XML_SELECT_ALL            32798
#define IDS_DRIVER_INSTALLED         203  // "Installed"
#define IDS_DEV_OPEN_TAB_FORM        260
#define IDS_DEV_OPEN_TAB_PARAMS_XML  261
#define IDS_DEV_OPEN_TAB_ACTIONS_XML 262
#define IDS_DRIVER_SETTINGS_UNREADABLE 299  // "The driver's settings description cannot be read."
