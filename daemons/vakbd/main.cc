// STUB: replaced by the vakbd work.
int main() {
  return 1;
}
