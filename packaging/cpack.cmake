# Read by cpack for each package it makes: the documents that package carries, and the time
# every file in it shows, so that the same source gives the same bytes.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_GANTREL_SOURCE_DATE_EPOCH}")
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified debian_documents)
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_RPM_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified rpm_documents)
endif()
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
