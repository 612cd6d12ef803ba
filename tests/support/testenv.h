#pragma once

#include <QString>
#include <functional>

namespace TestEnv {

// The temporary working directory of the running test (the process's current directory).
QString workDir();

// Runs the Qt event loop until the condition holds or the time is up; returns the condition.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Runs the Qt event loop for the given time.
void spin(int ms);

// Writes a text file (creating its folders); for building fake machine trees.
void writeText(const QString& path, const QByteArray& content);

}  // namespace TestEnv
