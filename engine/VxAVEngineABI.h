/*
 * The binary interface between the scan component and the scan engine library
 * (libqelda64a.so): its three entry points, the records they exchange, the
 * parameter and message codes, and the callback. The component and every engine
 * library (the product's and the test engine) compile against this one header, so
 * it is plain C and usable from C++.
 *
 * Every record is byte-packed and little-endian; the size and offset assertions at
 * the end fail the build of either side if a field moves. Pointer-valued fields are
 * carried as u64 so that the layout does not depend on the compiler's pointer type;
 * AV_PTR_TO_U64 and AV_U64_TO_PTR convert.
 *
 * Lifetimes: everything a parameter points to is valid only while the call that
 * received it runs (the component frees or clears it afterwards), so an engine copies
 * what it keeps. Records the engine hands back through the initialisation record stay
 * valid until AVClose for that handle.
 *
 * Thread-safety: an engine must accept AVScanObject on one handle from several
 * threads at once; AVInitialise and AVClose are not called concurrently for one
 * handle. The callback runs on the thread that called the entry point, before the
 * entry point returns.
 */
#ifndef VX_AV_ENGINE_ABI_H
#define VX_AV_ENGINE_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An engine library defines AV_ENGINE_BUILDING while compiling itself so that the
 * three entry points are exported even with hidden default visibility. */
#if defined(AV_ENGINE_BUILDING) && defined(__GNUC__)
#define AV_ENGINE_API __attribute__((visibility("default")))
#else
#define AV_ENGINE_API
#endif

#define AV_PTR_TO_U64(pointer) ((uint64_t)(uintptr_t)(pointer))
#define AV_U64_TO_PTR(type, value) ((type)(uintptr_t)(value))

/* Statuses returned by the entry points. Any other non-zero value is a failure
 * whose meaning is the engine's. */
#define AV_STATUS_OK 0u

/* ------------------------------------------------------------------------ */
/* Parameter codes                                                           */

/* Both calls. */
#define AV_PARAM_CALLBACK 100u         /* value: address of an AV_CALLBACK */
#define AV_PARAM_CALLBACK_CONTEXT 101u /* value: the caller's context, handed back at offset 8 */

/* AVInitialise. */
#define AV_PARAM_INTERFACE_VERSION 107u /* value: immediate AV_INTERFACE_VERSION, length 8 */
#define AV_PARAM_ENGINE_FOLDER 108u     /* value: NUL-terminated folder, length = strlen + 1 */
#define AV_PARAM_DATASET_FILES 110u     /* value: AV_DATASETFILES*, length 16 */
#define AV_PARAM_VERSION_QUERY 117u     /* no value; the engine is started to report versions */
#define AV_PARAM_PRODUCT_INFO 565u      /* value: AV_PRODUCTINFO*, length 8 */

#define AV_INTERFACE_VERSION 0x157C0002u

/* AVScanObject. The switches carry neither length nor value; what they select is
 * the engine's business, the component always sends them. */
#define AV_PARAM_SCAN_OBJECT 7u /* value: AV_OBJECTDESCRIPTOR*, length 28 */
#define AV_PARAM_SWITCH_300 300u
#define AV_PARAM_SWITCH_400 400u
#define AV_PARAM_SWITCH_401 401u
#define AV_PARAM_SWITCH_404 404u
#define AV_PARAM_SWITCH_502 502u
#define AV_PARAM_SWITCH_560 560u
#define AV_PARAM_COLLECT_HASH 616u /* no value; ask for AVM_FILEHASH messages */
/* Optional: the file a file object must be (AV_OBJECTIDENTITY*, length 40). An
 * engine that knows it reads the object only when the file it opened is that
 * file, and otherwise reads the fallback (AVM_OBJECT_REPLACED) or reports
 * AV_SCAN_ERROR_CHANGED. An engine that does not know it ignores it. */
#define AV_PARAM_OBJECT_IDENTITY 618u

/* ------------------------------------------------------------------------ */
/* Callback messages (AVScanObject). Answers: AV_CALLBACK_CONTINUE or
 * AV_CALLBACK_DECLINE (stop, skip or decline what the message offers).          */

#define AVM_QUERY_SCAN 1031u      /* may the object be scanned? */
#define AVM_QUERY_REPAIR 1032u    /* may the detection be repaired? */
#define AVM_QUERY_CONTINUE 1033u  /* go on? */
#define AVM_PASS 1036u            /* another pass over the object */
#define AVM_OBJECT_NAME 1041u     /* arg2: NUL-terminated narrow object name */
#define AVM_OBJECT_SIZE 1042u     /* arg2: object size, all 64 bits */
#define AVM_SCAN_ERROR 1044u      /* arg2, low 16 bits: scan error */
#define AVM_DETECTION 1045u       /* arg2: AV_DETECTION* */
#define AVM_REPAIR_ERROR 1046u    /* arg2, low 16 bits: repair error (12: none attempted) */
#define AVM_ACTION 1047u          /* arg2: AV_ACTION* */
#define AVM_OBJECT_DONE 1049u     /* the object is finished */
#define AVM_QUERY_CONTINUE_2 1056u /* go on? (nested objects) */
#define AVM_OBJECT_TYPE 1061u     /* arg1, low 16 bits: object type */
#define AVM_OBJECT_SUMMARY 1064u  /* arg2, low 16 bits: summary */
#define AVM_FILEHASH 1180u        /* arg2: AV_FILEHASH* */
/* The object's path names another file than its identity (AV_PARAM_OBJECT_IDENTITY);
 * what follows is about the identified file, read through the fallback path. */
#define AVM_OBJECT_REPLACED 1070u

#define AV_CALLBACK_CONTINUE 0u
#define AV_CALLBACK_DECLINE 1u

/* Object kinds of AV_OBJECTDESCRIPTOR. */
#define AV_OBJECT_KIND_FILE 4u
#define AV_OBJECT_KIND_MEMORY 6u

#pragma pack(push, 1)

/* One parameter. The record of parameter 101 is also the callback's context
 * record: its value (offset 8) is the context. */
typedef struct AV_SINGLEPARAMETER {
  uint16_t size;   /* 16 */
  uint16_t code;   /* AV_PARAM_* */
  uint32_t length; /* bytes of the value or of what it points to */
  uint64_t value;  /* immediate or pointer, per code */
} AV_SINGLEPARAMETER;

typedef AV_SINGLEPARAMETER AV_CALLBACKCONTEXT;

/* A parameter block. */
typedef struct AV_PARAMETERS {
  uint16_t size;       /* 12 */
  uint16_t count;      /* entries of the array */
  uint64_t parameters; /* AV_SINGLEPARAMETER[count] */
} AV_PARAMETERS;

/* Filled by AVInitialise; the caller sets size only. */
typedef struct AV_INITIALISATION {
  uint32_t size;               /* 36 */
  uint64_t engineHandle;       /* offset 4 */
  uint32_t engineVersionMajor; /* offset 12 */
  uint32_t engineVersionMinor; /* offset 16 */
  uint32_t engineValue;        /* offset 20: the engine's; copied, never interpreted */
  uint16_t recordCount;        /* offset 24: entries of records */
  uint16_t reserved;           /* offset 26 */
  uint64_t records;            /* offset 28: const AV_DATASETRECORD*[recordCount] */
} AV_INITIALISATION;

/* One data-set record of the initialisation record; the first one carries the
 * data-set version. The other bytes belong to the engine. */
typedef struct AV_DATASETRECORD {
  uint8_t engineData0[12];
  uint32_t versionMajor; /* offset 12 */
  uint32_t versionMinor; /* offset 16 */
  uint8_t engineData20[24];
} AV_DATASETRECORD;

/* Value of AV_PARAM_DATASET_FILES. */
typedef struct AV_DATASETFILES {
  uint32_t size;     /* 16 */
  uint16_t count;    /* 3 */
  uint16_t reserved; /* 0 */
  uint64_t files;    /* const char*[count]: names, scan and clean data files */
} AV_DATASETFILES;

/* Value of AV_PARAM_PRODUCT_INFO. */
typedef struct AV_PRODUCTINFO {
  uint16_t size;          /* 10 */
  uint16_t productId;     /* low 16 bits of the product id */
  uint16_t productLocale; /* low 16 bits of the locale id */
  uint32_t reserved;      /* 0 */
} AV_PRODUCTINFO;

/* Value of AV_PARAM_OBJECT_IDENTITY: a process module as the host found it
 * mapped. The device is the major and minor numbers the process map shows. */
typedef struct AV_OBJECTIDENTITY {
  uint16_t size;         /* 40 */
  uint16_t reserved;     /* 0 */
  uint32_t deviceMajor;  /* offset 4 */
  uint32_t deviceMinor;  /* offset 8 */
  uint32_t reserved2;    /* offset 12: 0 */
  uint64_t inode;        /* offset 16 */
  uint64_t fallbackPath; /* offset 24: NUL-terminated path of the kernel's handle to the
                            mapped inode (/proc/PID/map_files/...), or 0 */
  uint64_t reportName;   /* offset 32: NUL-terminated name the host reports the object
                            under (quarantine records carry it), or 0 */
} AV_OBJECTIDENTITY;

/* Context IDs of a scan: count IDs in ascending order. */
typedef struct AV_CONTEXTIDS {
  uint64_t count;
  uint64_t ids; /* const uint32_t[count] */
} AV_CONTEXTIDS;

/* Value of AV_PARAM_SCAN_OBJECT. */
typedef struct AV_OBJECTDESCRIPTOR {
  uint16_t size;       /* 28 */
  uint16_t kind;       /* AV_OBJECT_KIND_* */
  uint16_t kindWord;   /* 1 for a file, 6 for a memory object */
  uint16_t reserved;   /* 0 */
  uint64_t contextIds; /* const AV_CONTEXTIDS*, or 0 */
  uint64_t path;       /* NUL-terminated narrow path of a file, else 0 */
  uint32_t pathLength; /* strlen(path) + 1 for a file, else 0 */
} AV_OBJECTDESCRIPTOR;

/* Second argument of AVM_DETECTION. */
typedef struct AV_DETECTION {
  uint8_t engineData0[8];
  uint16_t detectType; /* offset 8 */
  uint16_t virusType;  /* offset 10 */
  uint8_t engineData12[4];
  uint64_t virusName;  /* offset 16: NUL-terminated narrow name */
  uint32_t repairable; /* offset 24: 1 when the detection can be repaired */
} AV_DETECTION;

/* Second argument of AVM_ACTION. */
typedef struct AV_ACTION {
  uint8_t engineData0[12];
  uint16_t actionTaken;    /* offset 12: 2 or 4 mean repaired */
  uint16_t nestingDeleted; /* offset 14 */
} AV_ACTION;

/* Second argument of AVM_FILEHASH. */
typedef struct AV_FILEHASH {
  uint16_t reserved;   /* offset 0 */
  uint16_t hashType;   /* offset 2 */
  uint32_t bufferSize; /* offset 4 */
  uint32_t dataLength; /* offset 8 */
  uint64_t data;       /* offset 12: const uint8_t[] */
} AV_FILEHASH;

#pragma pack(pop)

/* The callback: context record, message, first argument, second argument;
 * returns AV_CALLBACK_CONTINUE or AV_CALLBACK_DECLINE. */
typedef uint32_t (*AV_CALLBACK)(const AV_CALLBACKCONTEXT* context, uint16_t message,
                                uint64_t argument1, uintptr_t argument2);

/* Entry points. Each returns a u16 status, AV_STATUS_OK on success. */
typedef uint16_t (*AV_INITIALISE_FN)(const AV_PARAMETERS* parameters,
                                     AV_INITIALISATION* initialisation);
typedef uint16_t (*AV_SCANOBJECT_FN)(uint64_t engineHandle, const AV_PARAMETERS* parameters,
                                     uint64_t reserved);
typedef uint16_t (*AV_CLOSE_FN)(uint64_t engineHandle);

AV_ENGINE_API uint16_t AVInitialise(const AV_PARAMETERS* parameters,
                                    AV_INITIALISATION* initialisation);
AV_ENGINE_API uint16_t AVScanObject(uint64_t engineHandle, const AV_PARAMETERS* parameters,
                                    uint64_t reserved);
AV_ENGINE_API uint16_t AVClose(uint64_t engineHandle);

#define AV_INITIALISE_NAME "AVInitialise"
#define AV_SCANOBJECT_NAME "AVScanObject"
#define AV_CLOSE_NAME "AVClose"

/* ------------------------------------------------------------------------ */
/* Layout checks                                                             */

#ifdef __cplusplus
#define AV_ABI_ASSERT(condition, text) static_assert(condition, text)
#else
#define AV_ABI_ASSERT(condition, text) _Static_assert(condition, text)
#endif

AV_ABI_ASSERT(sizeof(void*) == 8, "the engine interface is 64-bit only");
AV_ABI_ASSERT(sizeof(AV_SINGLEPARAMETER) == 16, "AV_SINGLEPARAMETER is 16 bytes");
AV_ABI_ASSERT(offsetof(AV_SINGLEPARAMETER, code) == 2, "parameter code at 2");
AV_ABI_ASSERT(offsetof(AV_SINGLEPARAMETER, length) == 4, "parameter length at 4");
AV_ABI_ASSERT(offsetof(AV_SINGLEPARAMETER, value) == 8, "parameter value/context at 8");
AV_ABI_ASSERT(sizeof(AV_PARAMETERS) == 12, "parameter block is 12 bytes");
AV_ABI_ASSERT(offsetof(AV_PARAMETERS, count) == 2, "parameter count at 2");
AV_ABI_ASSERT(offsetof(AV_PARAMETERS, parameters) == 4, "parameter array at 4");
AV_ABI_ASSERT(sizeof(AV_INITIALISATION) == 36, "initialisation record is 36 bytes");
AV_ABI_ASSERT(offsetof(AV_INITIALISATION, engineHandle) == 4, "engine handle at 4");
AV_ABI_ASSERT(offsetof(AV_INITIALISATION, engineVersionMajor) == 12, "u32 at 12");
AV_ABI_ASSERT(offsetof(AV_INITIALISATION, engineVersionMinor) == 16, "u32 at 16");
AV_ABI_ASSERT(offsetof(AV_INITIALISATION, engineValue) == 20, "u32 at 20");
AV_ABI_ASSERT(offsetof(AV_INITIALISATION, recordCount) == 24, "record count at 24");
AV_ABI_ASSERT(offsetof(AV_INITIALISATION, records) == 28, "record array at 28");
AV_ABI_ASSERT(sizeof(AV_DATASETRECORD) == 44, "data-set record is 44 bytes");
AV_ABI_ASSERT(offsetof(AV_DATASETRECORD, versionMajor) == 12, "data-set version at 12");
AV_ABI_ASSERT(offsetof(AV_DATASETRECORD, versionMinor) == 16, "data-set version at 16");
AV_ABI_ASSERT(sizeof(AV_DATASETFILES) == 16, "data-set files record is 16 bytes");
AV_ABI_ASSERT(offsetof(AV_DATASETFILES, count) == 4, "file count at 4");
AV_ABI_ASSERT(offsetof(AV_DATASETFILES, files) == 8, "file array at 8");
AV_ABI_ASSERT(sizeof(AV_PRODUCTINFO) == 10, "product record is 10 bytes");
AV_ABI_ASSERT(offsetof(AV_PRODUCTINFO, productId) == 2, "product id at 2");
AV_ABI_ASSERT(offsetof(AV_PRODUCTINFO, productLocale) == 4, "product locale at 4");
AV_ABI_ASSERT(sizeof(AV_CONTEXTIDS) == 16, "context-ID block is 16 bytes");
AV_ABI_ASSERT(sizeof(AV_OBJECTDESCRIPTOR) == 28, "object descriptor is 28 bytes");
AV_ABI_ASSERT(offsetof(AV_OBJECTDESCRIPTOR, contextIds) == 8, "context IDs at 8");
AV_ABI_ASSERT(offsetof(AV_OBJECTDESCRIPTOR, path) == 16, "path at 16");
AV_ABI_ASSERT(offsetof(AV_OBJECTDESCRIPTOR, pathLength) == 24, "path length at 24");
AV_ABI_ASSERT(sizeof(AV_OBJECTIDENTITY) == 40, "object identity is 40 bytes");
AV_ABI_ASSERT(offsetof(AV_OBJECTIDENTITY, deviceMajor) == 4, "device major at 4");
AV_ABI_ASSERT(offsetof(AV_OBJECTIDENTITY, inode) == 16, "inode at 16");
AV_ABI_ASSERT(offsetof(AV_OBJECTIDENTITY, fallbackPath) == 24, "fallback path at 24");
AV_ABI_ASSERT(offsetof(AV_OBJECTIDENTITY, reportName) == 32, "report name at 32");
AV_ABI_ASSERT(sizeof(AV_DETECTION) == 28, "detection record is 28 bytes");
AV_ABI_ASSERT(offsetof(AV_DETECTION, detectType) == 8, "detect type at 8");
AV_ABI_ASSERT(offsetof(AV_DETECTION, virusType) == 10, "virus type at 10");
AV_ABI_ASSERT(offsetof(AV_DETECTION, virusName) == 16, "virus name at 16");
AV_ABI_ASSERT(offsetof(AV_DETECTION, repairable) == 24, "repairable at 24");
AV_ABI_ASSERT(sizeof(AV_ACTION) == 16, "action record is 16 bytes");
AV_ABI_ASSERT(offsetof(AV_ACTION, actionTaken) == 12, "action taken at 12");
AV_ABI_ASSERT(offsetof(AV_ACTION, nestingDeleted) == 14, "nesting deleted at 14");
AV_ABI_ASSERT(sizeof(AV_FILEHASH) == 20, "hash record is 20 bytes");
AV_ABI_ASSERT(offsetof(AV_FILEHASH, hashType) == 2, "hash type at 2");
AV_ABI_ASSERT(offsetof(AV_FILEHASH, bufferSize) == 4, "buffer size at 4");
AV_ABI_ASSERT(offsetof(AV_FILEHASH, dataLength) == 8, "data length at 8");
AV_ABI_ASSERT(offsetof(AV_FILEHASH, data) == 12, "hash bytes at 12");

#undef AV_ABI_ASSERT

/* ------------------------------------------------------------------------ */
/* Statuses of the product's engine library (libqelda64a.so). Each names one
 * reason a call itself failed; trouble with one scanned object is never a
 * status but a scan error (AVM_SCAN_ERROR) followed by AVM_OBJECT_DONE.      */

#define AV_STATUS_BAD_PARAMETERS 0x0101u  /* block, record size or required parameter wrong */
#define AV_STATUS_DATA_MISSING 0x0102u    /* a data file is missing or unreadable */
#define AV_STATUS_OUT_OF_MEMORY 0x0103u   /* allocation failed */
#define AV_STATUS_BAD_HANDLE 0x0104u      /* unknown or closed engine handle */
#define AV_STATUS_NOT_SUPPORTED 0x0105u   /* object kind the engine does not scan (memory) */
#define AV_STATUS_ENGINE_FAILURE 0x0106u  /* the rule library could not be started */
/* A data file cannot be used: AV_STATUS_DATA_FILE_BASE | file << 4 | reason, so
 * that a host can say which file failed and why. */
#define AV_STATUS_DATA_FILE_BASE 0x0200u
#define AV_DATA_FILE_NAMES 1u
#define AV_DATA_FILE_SCAN 2u
#define AV_DATA_FILE_CLEAN 3u
#define AV_DATA_FILE_SETTINGS 4u /* the engine's settings file, AVScanner.ini in its folder */
#define AV_DATA_FILE_MISSING 1u            /* no such file or folder */
#define AV_DATA_FILE_UNREADABLE 2u         /* permission denied or a read error */
#define AV_DATA_FILE_NOT_REGULAR 3u        /* a folder, link, FIFO, device or socket */
#define AV_DATA_FILE_TOO_LARGE 4u          /* larger than the engine reads */
#define AV_DATA_FILE_EMPTY 5u              /* no bytes at all */
#define AV_DATA_FILE_NO_REPORTABLE_RULE 6u /* scan file: every rule is private, or none */
#define AV_DATA_FILE_UNTYPED_DETECTION 7u  /* names file: a rule's detection has no virus type */
#define AV_DATA_FILE_WRITABLE_BY_OTHERS 8u /* the file or a folder above it is writable by group or others */
#define AV_DATA_FILE_FOREIGN_OWNER 9u      /* the file or a folder above it belongs to another user */
#define AV_STATUS_DATA_FILE(file, reason) \
  ((uint16_t)(AV_STATUS_DATA_FILE_BASE | ((file) << 4) | (reason)))
/* A data file is malformed: the status is this base plus the 1-based line of the
 * first fault (names file +0, scan file +0x1000, clean file +0x2000), the line
 * capped at 0xFFF. */
#define AV_STATUS_NAMES_MALFORMED 0x4000u
#define AV_STATUS_SCAN_MALFORMED 0x5000u
#define AV_STATUS_CLEAN_MALFORMED 0x6000u
#define AV_STATUS_MALFORMED_LINE_MAX 0x0FFFu

/* Scan errors (AVM_SCAN_ERROR, low 16 bits) of the product's engine: the
 * Windows error numbers of the same meaning. */
#define AV_SCAN_ERROR_NOT_FOUND 2u        /* vanished or never there */
#define AV_SCAN_ERROR_ACCESS_DENIED 5u    /* no permission to open or read */
#define AV_SCAN_ERROR_CHANGED 13u         /* the file changed while it was read */
#define AV_SCAN_ERROR_READ_FAULT 30u      /* reading failed */
#define AV_SCAN_ERROR_TOO_LARGE 223u      /* larger than the engine scans */
#define AV_SCAN_ERROR_NOT_REGULAR 1920u   /* symbolic link, directory, FIFO, device or socket */
#define AV_SCAN_ERROR_TIMEOUT 1460u       /* the rules took longer than the engine allows */
#define AV_SCAN_ERROR_OUT_OF_MEMORY 8u    /* the rule library ran out of memory */

/* AVM_ACTION actionTaken values of the product's engine. */
#define AV_ACTION_DELETED 2u
#define AV_ACTION_QUARANTINED 4u
/* AVM_REPAIR_ERROR code: no repair possible for this detection. */
#define AV_REPAIR_ERROR_NONE_POSSIBLE 12u
/* AVM_REPAIR_ERROR codes of a repair that was stopped: the host said stop during
 * the quarantine copy, or the quarantine would leave too little free space. The
 * other codes are the scan errors above. */
#define AV_REPAIR_ERROR_CANCELLED 1223u
#define AV_REPAIR_ERROR_DISK_FULL 112u
/* AVM_REPAIR_ERROR code: the name was removed, but the content is still reachable
 * (another hard link, or a mount over the name kept it): not cleaned. */
#define AV_REPAIR_ERROR_STILL_REACHABLE 1175u
/* AVM_FILEHASH hashType: SHA-256, 32 bytes. */
#define AV_HASH_TYPE_SHA256 3u

/* AVM_OBJECT_TYPE (first argument) and AVM_OBJECT_SUMMARY (second argument) of
 * the product's engine. */
#define AV_ITEM_TYPE_FILE 1u
#define AV_SUMMARY_CLEAN 0u
#define AV_SUMMARY_INFECTED 1u
#define AV_SUMMARY_REPAIRED 2u
#define AV_SUMMARY_NOT_SCANNED 3u
#define AV_SUMMARY_ERROR 4u

#ifdef __cplusplus
}
#endif

#endif /* VX_AV_ENGINE_ABI_H */
