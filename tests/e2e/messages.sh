# Runs each line template|column|message of standard input as m.brx in the
# current folder: each run must end with status 1, the message at line 1 and
# that column, and no sanitizer report.
failed=0
while IFS='|' read -r page column message; do
  printf '%s\n' "$page" > m.brx; status=0; ./braxel m.brx > out 2> err || status=$?
  [ "$status" = 1 ] && grep -qxF "at Line:1 Col:$column : $message" out && ! grep -q 'Sanitizer\|runtime error:' err ||
    { echo "$page: status $status, $(grep '^at Line' out)"; cat err; failed=1; }
done
exit $failed
