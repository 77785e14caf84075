#pragma once

// Identity of the application, shared by main(), the GUI manager and tools.
namespace kvrt {
inline constexpr const char* ApplicationName = "KVRTTerminalUI";
inline constexpr const char* ApplicationDisplayName = "KVRTTerminal UI";
inline constexpr const char* ApplicationVersion = "050fccb";
inline constexpr const char* OrganizationName = "ovant";
inline constexpr const char* OrganizationDomain = "ovant.gr";
} // namespace kvrt
