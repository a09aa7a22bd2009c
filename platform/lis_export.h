#ifndef LIS_EXPORT_H
#define LIS_EXPORT_H

/* What the component's shared library shows its hosts: everything else is
 * built hidden. */
#if defined(__GNUC__)
#define LIS_EXPORT __attribute__((visibility("default")))
#else
#define LIS_EXPORT
#endif

#endif
