#pragma once

#include <QJsonObject>
#include <QString>
#include <QtGlobal>
#include <string>

// Milliseconds since 1970-01-01 UTC from the program's clock.
qint64 gettimeofday_ms();
// The current time in 10 ms units, wrapping every 10^9 units.
int curtime_qint64_2_int();

// Gives the pages of freed memory back to the system, which glibc's allocator would keep after
// large bodies and replies have come and gone. Not for every small request: it walks the heap.
void trimHeap();

// Fills the interface's IPv4 address, netmask, default gateway and MAC address as text
// (buffers of at least 32 bytes each). 0 on success; -1 no socket, -2 no hardware address,
// -4 no IPv4 address, -5 no netmask, -6 route table unreadable, -7/-8 gateway lookup failed.
int GetIfAddr(char* name, char* ip, char* netmask, char* gateway, char* mac);

// A rand() value whose low 16 bits are at least 10001 and outside 10410..10419.
int RandPort();
int set_socket_nonblock(int fd);
// Parses "aa:bb:cc:dd:ee:ff" into 6 bytes; false (out untouched) when the text is not a MAC.
bool string2ethaddr(const QString& text, unsigned char* out);
QString getSubNet(const QString& ip, const QString& mask);
bool setIPLast(QString& ip, int last);
std::string nint2string(unsigned int address);

// "./cnt_net/config.json", the network configuration file the companion process reads too.
QString networkConfigPath();
// Its top-level object as this program reads it; empty when the file is missing or does not
// parse. A value of one of the program's keys that is of another type or out of range is left
// out, as if absent, and named in the log once a run; the file itself is not touched. *opened,
// when given, says whether the file could be opened at all.
QJsonObject readNetworkConfig(bool* opened = nullptr);
// The object a writer of the file starts from: every key as the file holds it, values this
// program cannot read included, so that a writer changes only its own keys (empty when the file
// is missing). A file that is there but holds no JSON object is first copied aside
// (keepBrokenCopy), since the writer is about to replace it; false when it can be neither read
// nor copied, and the writer must then leave it alone.
bool networkConfigToUpdate(QJsonObject* config);

// Sets "version" and "camcount" in "cnt_net/config.json", keeping every other key.
void writeVersionToJson();

// The device id: the serial of "/proc/cpuinfo", or a stable id kept in the working directory.
QString getlocal_deviceid();

extern QString gDeviceID;
extern const char* const kSoftwareVersion;   // "18.0.1.71"
