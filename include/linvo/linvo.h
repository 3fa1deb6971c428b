/* linvo: the C interface of the serial device control.
 *
 * A host creates the control by its ProgID ("LINVO.LinvoCtrl.1") or its CLSID text, finds the
 * DISPIDs of its members by name, reads and writes its properties and calls its methods with
 * tagged values, lists its type information, and receives its events through connected
 * callbacks while it pumps its thread's message queue.
 *
 * Conventions:
 * - Every function that can fail returns an int32_t status: LVO_OK (0) or a negative error code
 *   (the values are the automation error codes a Windows host sees, e.g. DISP_E_TYPEMISMATCH).
 *   The status of the calling thread's last call and its text are also kept:
 *   lvo_last_error() and lvo_last_error_text().
 * - Texts are byte strings passed unchanged (the control's texts are 8-bit texts; Shift_JIS and
 *   JIS bytes are not converted). Names and ProgIDs are NUL-terminated; values carry a length.
 * - Every string the library allocates for the caller (the text of an lvo_value it fills) is
 *   released with lvo_string_free(); a port list with lvo_port_list_free(). Texts in the
 *   information structures and the error text are the library's own and are never freed by the
 *   caller.
 * - Thread rule: an object is called on the thread that created it, and its events arrive on that
 *   thread while the thread pumps (lvo_pump, or lvo_message_fd in the host's own poll loop). A
 *   call on an object from any other thread does nothing and returns LVO_E_WRONG_THREAD, also
 *   after the creating thread has ended; only lvo_release works from any thread.
 * - The interface uses only fixed-width integers, pointers and plain structures, so that ctypes
 *   or cffi can bind it without a compiler.
 */
#ifndef LINVO_LINVO_H
#define LINVO_LINVO_H

#include <stdint.h>

/* The library's own build defines LINVO_BUILDING and exports these functions; a program that
 * uses the library imports them (on Windows from linvo.dll). */
#if defined(_WIN32) && defined(LINVO_BUILDING)
#define LINVO_API __declspec(dllexport)
#elif defined(_WIN32)
#define LINVO_API __declspec(dllimport)
#else
#define LINVO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ---- */
#define LVO_OK 0
#define LVO_E_INVALIDARG ((int32_t)0x80070057) /* a null pointer or an index out of range */
#define LVO_E_OUTOFMEMORY ((int32_t)0x8007000E)
#define LVO_E_UNEXPECTED ((int32_t)0x8000FFFF)  /* an internal failure */
#define LVO_E_CLASSNOTREG ((int32_t)0x80040154) /* no class of that ProgID or CLSID */
#define LVO_E_CLASSNOTAVAILABLE ((int32_t)0x80040111) /* a class this platform cannot create */
#define LVO_E_UNKNOWNNAME ((int32_t)0x80020006)       /* no member of that name */
#define LVO_E_MEMBERNOTFOUND ((int32_t)0x80020003)    /* no member of that DISPID, or wrong kind */
#define LVO_E_BADPARAMCOUNT ((int32_t)0x8002000E)     /* wrong number of arguments */
#define LVO_E_TYPEMISMATCH                                                               \
  ((int32_t)0x80020005)                          /* a value that cannot become the type, \
                                                    or an unknown value type */
#define LVO_E_OVERFLOW ((int32_t)0x8002000A)     /* a number outside the 32-bit range */
#define LVO_E_NOCONNECTION ((int32_t)0x80040200) /* no connection with that cookie */
#define LVO_E_WRONG_THREAD ((int32_t)0x8001010E) /* called from another thread */

/* ---- Values ---- */
#define LVO_EMPTY 0 /* no value; the result of a method that returns nothing */
#define LVO_LONG 1  /* number: a 32-bit long (wider numbers are accepted and range-checked) */
#define LVO_BOOL 2  /* number: -1 true, 0 false (any nonzero number is true on input) */
#define LVO_TEXT 3  /* text, length: a byte string */

/* A tagged value. As an input, text points to `length` bytes (no terminating zero needed). As a
 * result, text is allocated by the library (with a terminating zero after `length` bytes, which
 * may contain zero bytes themselves) and released with lvo_string_free(); text is NULL for the
 * other types. Arguments are coerced to the member's type as automation does: text "12" becomes
 * the long 12, a number becomes its decimal text, a boolean is -1/0 as a number, text "True" or
 * "False" (any case) or a number becomes a boolean, and LVO_EMPTY becomes 0, false or "". */
typedef struct lvo_value {
  int32_t type;    /* LVO_EMPTY, LVO_LONG, LVO_BOOL or LVO_TEXT */
  uint32_t length; /* LVO_TEXT: the byte count */
  int64_t number;  /* LVO_LONG, LVO_BOOL */
  char* text;      /* LVO_TEXT */
} lvo_value;

/* Releases a string the library allocated (NULL is allowed). */
LINVO_API void lvo_string_free(char* text);

/* ---- Errors ---- */
/* The status of the calling thread's last call that returns a status (LVO_OK after a success). */
LINVO_API int32_t lvo_last_error(void);
/* Its text, e.g. "unknown member name 'Foo'"; "" after a success. Valid until the thread's next
 * call. */
LINVO_API const char* lvo_last_error_text(void);

/* ---- Objects ---- */
typedef struct lvo_object lvo_object;

/* Creates an object of the class named by its ProgID (compared case-insensitively) or its CLSID
 * text ("{77A0F111-E375-4BD5-A72D-C8D24B8DA93A}", braces optional, any case). The calling thread
 * becomes the object's thread. LVO_E_CLASSNOTREG for an unknown name. */
LINVO_API int32_t lvo_create(const char* name, lvo_object** object);
/* Releases the object: it is destroyed (the control closes the ports it opened) and none of its
 * callbacks is called once this returns (one already running finishes). NULL is allowed.
 * - On the object's thread, outside the object's event callbacks: destroyed now.
 * - Inside one of its event callbacks, or on another thread while the creating thread runs:
 *   destroyed on the creating thread when it next handles its messages (lvo_pump or the host's
 *   own loop). Should that thread end first, the next call of this interface that returns a
 *   status, on any thread, destroys it.
 * - After the creating thread has ended: destroyed now, on the calling thread.
 * The object must not be used after the call. LVO_OK, or LVO_E_OUTOFMEMORY when the release must
 * wait for the creating thread and that thread's message queue is full (10000 messages it has
 * not handled): the object then stays as it was, and the release can be tried again. */
LINVO_API int32_t lvo_release(lvo_object* object);

/* ---- Dispatch ---- */
#define LVO_METHOD 1      /* call a method (a property without arguments gives its value) */
#define LVO_PROPERTYGET 2 /* read a property (a method is called) */
#define LVO_PROPERTYPUT 4 /* write a property: one argument, the new value */

/* The DISPID of the member with this name (compared case-insensitively). */
LINVO_API int32_t lvo_get_dispid(lvo_object* object, const char* name, int32_t* dispid);
/* Invokes a member: flags is LVO_METHOD, LVO_PROPERTYGET, LVO_METHOD | LVO_PROPERTYGET or
 * LVO_PROPERTYPUT; args holds argc values in the order of the member's parameters (unlike
 * IDispatch, not reversed). result (may be NULL) receives the value of a get or method; clear it
 * with lvo_string_free(result->text). result may be one of the args: the arguments are read
 * before result is written (an argument's text stays the caller's to free). A put the control
 * refuses (a value it does not accept, or a property it does not let the host change) still
 * succeeds: the property keeps its value. */
LINVO_API int32_t lvo_invoke(lvo_object* object, int32_t dispid, int32_t flags,
                             const lvo_value* args, int32_t argc, lvo_value* result);
/* lvo_invoke with LVO_PROPERTYGET and no arguments. */
LINVO_API int32_t lvo_get(lvo_object* object, int32_t dispid, lvo_value* result);
/* lvo_invoke with LVO_PROPERTYPUT and the one value. */
LINVO_API int32_t lvo_put(lvo_object* object, int32_t dispid, const lvo_value* value);

/* ---- Events ---- */
/* Called on the object's thread while it pumps, once per event: its DISPID, its name and its
 * argument. The callback may call the object, and may disconnect itself or other callbacks. */
typedef void (*lvo_event_callback)(void* user, int32_t dispid, const char* name, int32_t argument);

/* Connects a callback; *cookie (> 0) identifies the connection. Any number may be connected. */
LINVO_API int32_t lvo_connect(lvo_object* object, lvo_event_callback callback, void* user,
                              int32_t* cookie);
/* Disconnects it; LVO_E_NOCONNECTION when the cookie names no connection of the object. */
LINVO_API int32_t lvo_disconnect(lvo_object* object, int32_t cookie);

/* ---- Message queue of the calling thread ---- */
/* Handles the calling thread's queued messages (firing the events of its objects). Waits up to
 * timeout_ms (negative: without limit) for the first when none is queued. *handled (may be NULL)
 * receives the number handled. */
LINVO_API int32_t lvo_pump(int32_t timeout_ms, int32_t* handled);
/* A descriptor that is readable while the calling thread's queue holds messages (for poll, epoll
 * or an event loop; call lvo_pump(0, NULL) when it fires). It belongs to the thread. On Windows
 * it is the value of an event HANDLE that is signalled while the queue holds messages (for
 * WaitForMultipleObjects or MsgWaitForMultipleObjects; the HANDLE is (HANDLE)(intptr_t)*fd). */
LINVO_API int32_t lvo_message_fd(int32_t* fd);

/* ---- Type information ---- */
#define LVO_KIND_PROPERTY 1 /* readable and writable: LVO_PROPERTYGET | LVO_PROPERTYPUT */
#define LVO_KIND_METHOD 2   /* callable: LVO_METHOD */

typedef struct lvo_library_info {
  const char* name; /* "LINVOLib" */
  const char* guid; /* "{...}" */
  uint16_t version_major;
  uint16_t version_minor;
  uint32_t lcid; /* 0x409 */
  const char* help;
  const char* dispatch_name; /* the dispatch interface */
  const char* dispatch_guid;
  const char* dispatch_help;
  const char* events_name; /* the event interface */
  const char* events_guid;
  const char* events_help;
} lvo_library_info;

typedef struct lvo_member_info {
  int32_t dispid;
  int32_t kind;        /* LVO_KIND_PROPERTY or LVO_KIND_METHOD */
  int32_t flags;       /* the invoke flags it answers: LVO_PROPERTYGET | LVO_PROPERTYPUT, or
                          LVO_METHOD */
  int32_t type;        /* the property's type or the method's result type (LVO_EMPTY: none) */
  int32_t param_count; /* methods: the number of parameters */
  int32_t reserved;
  const char* name;
} lvo_member_info;

typedef struct lvo_param_info {
  int32_t type; /* LVO_LONG, LVO_BOOL or LVO_TEXT */
  int32_t reserved;
  const char* name;
} lvo_param_info;

typedef struct lvo_event_info {
  int32_t dispid;
  int32_t argument_type; /* LVO_LONG */
  const char* name;
  const char* argument_name;
} lvo_event_info;

/* The type information of a class, named as for lvo_create. Texts are UTF-8 and stay valid while
 * the library is loaded. A class without type information (the property page) has no library
 * (LVO_E_CLASSNOTAVAILABLE) and no members. */
LINVO_API int32_t lvo_type_library(const char* class_name, lvo_library_info* info);
LINVO_API int32_t lvo_member_count(const char* class_name, int32_t* count);
/* Members in DISPID order: index 0 .. count - 1. */
LINVO_API int32_t lvo_member(const char* class_name, int32_t index, lvo_member_info* info);
LINVO_API int32_t lvo_parameter(const char* class_name, int32_t member_index, int32_t param_index,
                                lvo_param_info* info);
LINVO_API int32_t lvo_event_count(const char* class_name, int32_t* count);
LINVO_API int32_t lvo_event(const char* class_name, int32_t index, lvo_event_info* info);

/* ---- Classes ---- */
typedef struct lvo_class_info {
  const char* prog_id;         /* "LINVO.LinvoCtrl.1" */
  const char* clsid;           /* "{...}" */
  const char* type_name;       /* "Linvo Control" */
  const char* threading_model; /* "Apartment" */
  uint32_t misc_status;        /* 0x20191 */
  int32_t available;           /* 1 when lvo_create can create it here */
  int32_t category_count;
  int32_t reserved;
} lvo_class_info;

typedef struct lvo_category_info {
  const char* catid; /* "{...}" */
  uint32_t lcid;
  int32_t reserved;
  const char* description;
} lvo_category_info;

/* The compiled-in class table. */
LINVO_API int32_t lvo_class_count(int32_t* count);
LINVO_API int32_t lvo_class(int32_t index, lvo_class_info* info);
LINVO_API int32_t lvo_class_category(int32_t class_index, int32_t category_index,
                                     lvo_category_info* info);

/* ---- Serial ports ---- */
/* A COM name a host can open (PortNo n is "COMn"). */
typedef struct lvo_port_info {
  const char* name;   /* "COM3" */
  const char* device; /* what it reaches: "/dev/ttyUSB0" ("\\.\COM3" on Windows; "virtual:COM3"
                         for a virtual line of the process); "" when it stopped resolving while
                         the list was made */
} lvo_port_info;

/* A serial adapter that no COM name reaches yet (USB, ACM). Windows gives every port its COM
 * name, so there the list has none. */
typedef struct lvo_adapter_info {
  const char* name;       /* its stable name (/dev/serial/by-id/...), else its device */
  const char* device;     /* "/dev/ttyUSB0" */
  const char* vendor_id;  /* USB ids ("0403", "6001"); "" for other buses */
  const char* product_id;
  const char* product;    /* the adapter's product text; "" when it tells none */
  const char* ports_line; /* the [Ports] line of Linvo.ini that would give it the lowest free
                             number ("COM5=/dev/serial/by-id/..."); "" when none is free */
} lvo_adapter_info;

typedef struct lvo_port_list lvo_port_list;

/* Lists the machine's serial ports as they are now, read with the settings file that
 * lvo_settings_file names: the COM names that resolve (the control's GetPortNames), in number
 * order, and the adapters no COM name reaches yet, in the system's order. *list is the
 * library's, released with lvo_port_list_free(); its texts stay valid until then. Any thread may
 * call these functions; a list is not changed by them. */
LINVO_API int32_t lvo_list_ports(lvo_port_list** list);
/* Releases a list (NULL is allowed). */
LINVO_API void lvo_port_list_free(lvo_port_list* list);
LINVO_API int32_t lvo_port_count(const lvo_port_list* list, int32_t* count);
/* Ports: index 0 .. count - 1. */
LINVO_API int32_t lvo_port(const lvo_port_list* list, int32_t index, lvo_port_info* info);
LINVO_API int32_t lvo_adapter_count(const lvo_port_list* list, int32_t* count);
/* Adapters: index 0 .. count - 1. */
LINVO_API int32_t lvo_adapter(const lvo_port_list* list, int32_t index, lvo_adapter_info* info);

/* ---- Settings file ---- */
typedef struct lvo_settings_info {
  const char* file;   /* "./Linvo.ini", or Linvo.ini in the per-user temporary directory */
  const char* unused; /* why a Linvo.ini that is there is passed over ("Settings file ./Linvo.ini
                         not used: it is a directory"); "" when none is */
} lvo_settings_info;

/* The settings file (Linvo.ini) the library reads, chosen as a port chooses it when it is first
 * used: the current directory's when it is usable, else the per-user one. The texts are the
 * calling thread's, valid until its next call of lvo_settings_file. */
LINVO_API int32_t lvo_settings_file(lvo_settings_info* info);

/* The library's version, "1, 0, 0, 0". */
LINVO_API const char* lvo_version(void);

#ifdef __cplusplus
}
#endif

#endif /* LINVO_LINVO_H */
