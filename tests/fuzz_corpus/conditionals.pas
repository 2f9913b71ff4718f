{$IFDEF A}a{$ELSE}b{$ENDIF}
{$IF Defined(B) and (CompilerVersion >= 36)}c{$ELSEIF SizeOf(Pointer) = 8}d{$IFEND}
{$DEFINE X}{$IFNDEF X}e{$ENDIF}(*$IFOPT R+*)r(*$ENDIF*)
{$IFDEF A}{$IFDEF NESTED}