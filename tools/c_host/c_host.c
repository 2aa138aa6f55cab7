/* A host in plain C99 that uses nothing but the installed header and library: it reads the
 * ABI, creates an engine, sends two requests and checks the replies. Exits 0 on success. */
#include <stdio.h>
#include <string.h>

#include <tarv/tarv.h>

static int expect(const char* what, const char* reply, const char* needle) {
  if (reply == NULL || strstr(reply, needle) == NULL) {
    fprintf(stderr, "c_host: %s: expected %s in %s\n", what, needle, reply ? reply : "(null)");
    return 1;
  }
  return 0;
}

int main(void) {
  int failures = 0;
  void* engine;
  double start = tarv_monotonic_seconds();

  failures += expect("abi", tarv_abi_info(), "\"abi\":1");
  engine = tarv_create();
  if (engine == NULL) {
    fprintf(stderr, "c_host: tarv_create failed\n");
    return 1;
  }
  failures += expect("scope", tarv_call(engine, "{\"command\":\"scope\",\"images\":[],\"ignore_surround\":true}"),
                     "CONFIG_UPDATED");
  failures += expect("detect before arm", tarv_call(engine, "{\"command\":\"detect\",\"images\":[]}"), "\"error\"");
  failures += expect("not JSON", tarv_call(engine, "{"), "\"error\"");
  tarv_destroy(engine);
  if (!(tarv_monotonic_seconds() >= start)) {
    fprintf(stderr, "c_host: the monotonic clock went back\n");
    ++failures;
  }
  if (failures == 0) printf("c_host: ok\n");
  return failures == 0 ? 0 : 1;
}
