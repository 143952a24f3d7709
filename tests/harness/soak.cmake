# The shared-store soak (store_soak.py) and the large run for ThreadSanitizer.
# Included from tests/CMakeLists.txt once the program and the window's test
# support exist.

# 20,000 files, 64 workers: the run a TWF_SANITIZE=thread build watches for races.
if(TARGET twf_engine)
  twf_add_test(twf_big_run_test TEMP_HOME SOURCES harness/big_run_test.cpp LIBS twf_engine)
endif()

# The soak's auth key editor and store dump, and its window.
if(TARGET twf_authkeys)
  add_executable(twf_soak_tool harness/soak_tool.cpp)
  target_link_libraries(twf_soak_tool PRIVATE twf_authkeys twf_tasks)
endif()
if(TARGET twf_ui_test_support)
  add_executable(twf_soak_window harness/soak_window.cpp)
  set_target_properties(twf_soak_window PROPERTIES AUTOMOC ON)
  target_link_libraries(twf_soak_window PRIVATE twf_ui_test_support)
endif()

if(Python3_Interpreter_FOUND AND TARGET twf_twinfold_for_tests AND TARGET twf_soak_tool AND TARGET twf_soak_window)
  add_test(NAME store_soak_test
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/harness/store_soak.py --ci
      --program $<TARGET_FILE:twf_twinfold_for_tests> --tool $<TARGET_FILE:twf_soak_tool>
      --window $<TARGET_FILE:twf_soak_window>
      --bound-header ${CMAKE_SOURCE_DIR}/src/tasks/settings_store.h)
  # 60 s of soak, the setup, the wind-down and the checks.
  set_tests_properties(store_soak_test PROPERTIES TIMEOUT 240)
endif()
