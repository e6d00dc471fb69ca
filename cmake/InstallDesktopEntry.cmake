# Run by `cmake --install`: writes the application menu's launcher from VELLUMAR_DESKTOP_TEMPLATE, its
# Exec naming the executable in VELLUMAR_BINDIR under the prefix being installed to, first to
# VELLUMAR_DESKTOP_STAGED in the build folder, then installs it as a file, so that install_manifest.txt
# lists it with the rest.

set(executable "${VELLUMAR_BINDIR}/vellumar")
if(NOT IS_ABSOLUTE "${executable}")
  set(executable "${CMAKE_INSTALL_PREFIX}/${executable}")
endif()
string(ASCII 1 first_control)
string(ASCII 31 last_control)
string(ASCII 127 delete)
if(executable MATCHES "[${first_control}-${last_control}${delete}]")
  message(FATAL_ERROR "The install path holds a control character: ${executable}")
endif()

# The Desktop Entry rules: inside double quotes '"', '`', '$' and '\' take a backslash, every
# backslash is doubled once more because the whole value is also a string value, and "%" is doubled.
string(REPLACE "\\" "\\\\\\\\" exec "${executable}")
string(REPLACE "\"" "\\\\\"" exec "${exec}")
string(REPLACE "`" "\\\\`" exec "${exec}")
string(REPLACE "$" "\\\\$" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
set(VELLUMAR_EXEC "\"${exec}\"")

set(applications "${VELLUMAR_DATADIR}/applications")
if(NOT IS_ABSOLUTE "${applications}")
  set(applications "${CMAKE_INSTALL_PREFIX}/${applications}")
endif()
configure_file("${VELLUMAR_DESKTOP_TEMPLATE}" "${VELLUMAR_DESKTOP_STAGED}" @ONLY)
# Adds DESTDIR itself, as for every other installed file.
file(INSTALL "${VELLUMAR_DESKTOP_STAGED}" DESTINATION "${applications}"
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
