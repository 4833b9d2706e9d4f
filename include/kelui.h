// SPDX-License-Identifier: MIT
/*
 * The KEL user-interface library (libkelui.so, keluirtl.dll): the calls that
 * the domain tools make.  Strings are NUL-terminated and passed unchanged;
 * results are not examined unless said otherwise.
 */
#ifndef KELUI_H
#define KELUI_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(KELUI_BUILDING_LIBRARY)
#define KELUI_API __declspec(dllexport)
#elif defined(_WIN32)
#define KELUI_API __declspec(dllimport)
#else
#define KELUI_API
#endif

/* Called from the library's own context with the set's identifier and the booking's tag. */
typedef void kelui_objectset_callback(int *id, long *tag);

/* Hands the request to kill a domain to the running system. */
KELUI_API int kelui_kill(const char *domain);

/* Sends an option change for a domain; delivery takes a moment after the return. */
KELUI_API int kelui_change_option(const char *domain, const char *option, const char *value);

/* Books the changes of an object set; the library calls back soon after. */
KELUI_API int kelui_book_objectsetchange(const char *set, kelui_objectset_callback *callback,
                                         long tag);

/* Writes the first object's name, at most 31 characters and a NUL, into name[32]. */
KELUI_API int kelui_get_first_object_in_set(int id, char *name);

/* Writes the next object's name into name[32] and returns non-zero, or returns 0 at the end. */
KELUI_API int kelui_get_next_object_in_set(int id, char *name);

#ifdef __cplusplus
}
#endif

#endif
