// STUB: replaced by the vakcompatd work.
int main() {
  return 1;
}
