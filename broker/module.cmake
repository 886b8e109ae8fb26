# The event-broker module vtdb (vtdb.so), one source file per family; included by broker/.
set(VTDB_MODULE_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/vtdb_module.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/vt_identity.cpp)

add_library(vtdb MODULE ${VTDB_MODULE_SOURCES})
set_target_properties(vtdb PROPERTIES PREFIX "" OUTPUT_NAME vtdb)
target_include_directories(vtdb PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
# The engine's functions and globals stay undefined here: they come from the engine process.
target_link_libraries(vtdb PRIVATE vt_engine_headers vtdb_queue vtcommon PkgConfig::GEARMAN PkgConfig::MARIADB)
# The module's references to its own symbols (log names, runtime functions) must never
# bind to same-named symbols of the process that loads it.
target_link_options(vtdb PRIVATE -Wl,-Bsymbolic)
install(TARGETS vtdb LIBRARY DESTINATION ${VANTOR_ROOT}/lib)
