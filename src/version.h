#pragma once

// The launcher's own version and program name (user agent, version line, self-update).
inline constexpr char kLauncherVersion[] = "0.1.0";
inline constexpr char kLauncherName[] = "quillstep-launcher";
