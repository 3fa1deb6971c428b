/* A C program built against an installed linvo through pkg-config. */
#include <linvo/linvo.h>
#include <linvo/version.h>
#include <stdio.h>
#include <string.h>

static int Fail(const char* what) {
  fprintf(stderr, "c consumer: %s: %s (0x%08x)\n", what, lvo_last_error_text(),
          (unsigned)lvo_last_error());
  return 1;
}

int main(void) {
  lvo_object* control = NULL;
  int32_t portNo = 0, version = 0, members = 0, dispid = 0;
  lvo_value five = {LVO_TEXT, 1, 0, "5"};
  lvo_value got = {0};
  if (lvo_create("linvo.linvoctrl.1", &control) != LVO_OK) return Fail("create");
  if (lvo_get_dispid(control, "portno", &portNo) != LVO_OK) return Fail("PortNo");
  if (lvo_get_dispid(control, "Version", &version) != LVO_OK) return Fail("Version");
  if (lvo_put(control, portNo, &five) != LVO_OK) return Fail("put PortNo");
  if (lvo_get(control, portNo, &got) != LVO_OK) return Fail("get PortNo");
  if (got.type != LVO_LONG || got.number != 5) return Fail("PortNo is not 5");
  if (lvo_get(control, version, &got) != LVO_OK) return Fail("get Version");
  if (got.type != LVO_TEXT || strcmp(got.text, LINVO_VERSION_TEXT) != 0) return Fail("Version");
  printf("c consumer: PortNo 5, Version %s", got.text);
  lvo_string_free(got.text);
  if (lvo_get_dispid(control, "NoSuchMember", &dispid) != LVO_E_UNKNOWNNAME) return Fail("name");
  if (lvo_member_count("LINVO.LinvoCtrl.1", &members) != LVO_OK) return Fail("members");
  printf(", %d members\n", (int)members);
  return lvo_release(control) == LVO_OK ? 0 : Fail("release");
}
