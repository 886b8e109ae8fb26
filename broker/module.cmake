# The event-broker module vtdb (vtdb.so): the frame, the identity cache and one source file per
# family of callbacks (every vt_*.cpp and vtdb_*.cpp here but the queue client and its sender,
# which are their own library); included by broker/.
file(GLOB VTDB_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/vtdb_*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/vt_*.cpp)
list(REMOVE_ITEM VTDB_MODULE_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/vt_gearman_client.cpp
     ${CMAKE_CURRENT_SOURCE_DIR}/vt_sender.cpp)

function(vt_add_module name)
  add_library(${name} MODULE ${VTDB_MODULE_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  # The engine's functions and globals stay undefined here: they come from the engine process.
  target_link_libraries(${name} PRIVATE vt_engine_headers vtdb_queue vtcommon PkgConfig::GEARMAN PkgConfig::MARIADB)
  # The module's references to its own symbols (log names, runtime functions) must never
  # bind to same-named symbols of the process that loads it.
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic)
endfunction()

vt_add_module(vtdb)
# For the tests: the module as built for a released engine, whose objects have no
# display_status member.
if(VTDB_ENGINE STREQUAL "standin" AND VANTOR_TESTS)
  vt_add_module(vtdb_stock)
  set_target_properties(vtdb_stock PROPERTIES VT_STANDIN_STOCK ON)
endif()
install(TARGETS vtdb LIBRARY DESTINATION ${VANTOR_ROOT}/lib)
