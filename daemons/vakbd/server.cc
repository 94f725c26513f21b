// STUB: replaced by the vakbd work.
