# The release of the driver package: the one place that holds its version number and date.
# Both images' version resources and both INFs' DriverVer line are stamped from these.
set(CORRAN_VERSION 1.0.0.0)
set(CORRAN_DRIVER_DATE 12/08/2026) # month/day/year, as DriverVer writes it
set(CORRAN_COMPANY "TORVA")
set(CORRAN_PRODUCT "TORVA Corran multiport serial adapters")

# Writes the version resource script of one image into the build tree and returns its path in
# OUT. FILETYPE and SUBTYPE are the VERSIONINFO constants (VFT_DRV with VFT2_DRV_SYSTEM for a
# driver, VFT_DLL with VFT2_UNKNOWN for a library).
function(corran_version_rc OUT FILE DESCRIPTION FILETYPE SUBTYPE)
    set(VERSION_FILE ${FILE})
    set(VERSION_DESCRIPTION ${DESCRIPTION})
    set(VERSION_FILETYPE ${FILETYPE})
    set(VERSION_FILESUBTYPE ${SUBTYPE})
    get_filename_component(VERSION_INTERNAL ${FILE} NAME_WE)
    string(REPLACE "." "," VERSION_COMMAS ${CORRAN_VERSION})
    set(rc ${CMAKE_BINARY_DIR}/version/${VERSION_INTERNAL}_version.rc)
    configure_file(${CMAKE_SOURCE_DIR}/package/version.rc.in ${rc} @ONLY)
    set(${OUT} ${rc} PARENT_SCOPE)
endfunction()
