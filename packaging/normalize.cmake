# Run by cpack once a package is made. CPack stamps the members of a .deb (the ar layer) and the
# entries of a .zip with the build's time, and a .zip with the builder's user and group; this
# rewrites both so that the same source gives the same bytes: ar members in deterministic mode,
# zip entries at SOURCE_DATE_EPOCH (in UTC, as zip stores local time), in sorted order, without
# owners.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(work "${package}.normalize")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}")
  if(package MATCHES "\\.deb$")
    execute_process(COMMAND ar x "${package}" WORKING_DIRECTORY "${work}"
                    COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB control RELATIVE "${work}" "${work}/control.tar.*")
    file(GLOB data RELATIVE "${work}" "${work}/data.tar.*")
    file(REMOVE "${package}")
    execute_process(COMMAND ar rcD "${package}" debian-binary ${control} ${data}
                    WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
  elseif(package MATCHES "\\.zip$")
    execute_process(COMMAND unzip -q "${package}" -d "${work}" COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND find . -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                    WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB_RECURSE entries RELATIVE "${work}" "${work}/*")
    list(SORT entries)
    file(REMOVE "${package}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC zip -q -X -9 "${package}" ${entries}
                    WORKING_DIRECTORY "${work}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${work}")
endforeach()
