// The libzip seam: the table starts as the real library functions.
#include "kest/seams/ZipLibOps.h"

ZipLibOps& zipLibOps() {
  static ZipLibOps ops{
      &::zip_open_from_source,
      &::zip_fdopen,
      &::zip_close,
      &::zip_discard,
      &::zip_get_num_entries,
      &::zip_get_name,
      &::zip_name_locate,
      &::zip_stat_index,
      &::zip_file_get_external_attributes,
      &::zip_fopen_index,
      &::zip_fread,
      &::zip_fclose,
      &::zip_source_filep_create,
      &::zip_source_function_create,
      &::zip_source_free,
      &::zip_file_add,
      &::zip_strerror,
      &::zip_file_strerror,
      &::zip_set_file_compression,
  };
  return ops;
}
