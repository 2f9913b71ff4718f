unit A; { never closed
begin end.