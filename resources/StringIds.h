// Ids of the program's string table. Included by the resource script and by the code.
#ifndef KDM_RESOURCES_STRINGIDS_H
#define KDM_RESOURCES_STRINGIDS_H

#define IDS_PROGRAM_NAME 102
#define IDS_DOWNLOAD_ADDRESS 103
#define IDS_SITE_UNREACHABLE 104
#define IDS_SYSTEM_TOO_OLD 105
#define IDS_SYSTEM_UNKNOWN 106
#define IDS_WEBSITE_ADDRESS 108
#define IDS_SETUP_TITLE 109
#define IDS_SAVE_AS_TITLE 110
#define IDS_CANNOT_CREATE_FILE 111
#define IDS_CONFIRM_CANCEL 112
#define IDS_TOTAL_UNKNOWN 113
#define IDS_TOTAL_KNOWN 114
#define IDS_LAUNCH_FAILED 115
#define IDS_CONNECTING 116
#define IDS_CANCELLED_AFTER_DOWNLOAD 117
#define IDS_NO_HASH_CODE 118
#define IDS_HASH_MISMATCH 119
#define IDS_VERIFY_FAILED 120
#define IDS_VERIFYING 121
#define IDS_INSTALLER_WILL_CLOSE 122
#define IDS_NOT_SIGNED 123

// The maker's public keys for package signatures, one RCDATA resource each (a CryptoAPI
// PUBLICKEYBLOB), numbered from this id without a gap; a build without keys has none.
#define IDR_PACKAGE_KEY_FIRST 201

#endif
