# Where an installed tree keeps the resources, relative to the prefix. The
# install rules and the application's resource lookup (bridge/resources.cpp)
# both take them from here. The engine is an architecture-dependent executable,
# which Debian keeps out of /usr/share.
set(TORVELIN_DATA_SUBDIR share/torvelin-recovery)
set(TORVELIN_ENGINE_SUBDIR lib/torvelin-recovery)
set(TORVELIN_LAYOUT_DEFINITIONS
    TORVELIN_DATA_SUBDIR="${TORVELIN_DATA_SUBDIR}"
    TORVELIN_ENGINE_SUBDIR="${TORVELIN_ENGINE_SUBDIR}")
