// SPDX-License-Identifier: MIT
/*
 * The communication library (libzun.so): addresses commands to services by
 * name.  The tools use its one class-level call.
 */
#ifndef ZUNCLIENT_H
#define ZUNCLIENT_H

class ZunClient
{
  public:
    static int sendCommand(const char *name, const char *data);
};

#endif
