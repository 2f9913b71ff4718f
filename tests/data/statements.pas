program StatementForms;

{ Everyday statement code in one main block: assignments, calls, loops,
  case, try/except/finally, with, nested blocks and labels. }

uses
  System.SysUtils, System.Classes;

label
  Retry, Done;

begin
  // 1: plain assignments and calls
  Count := 0;
  Total := Count + 1;
  Name := 'Tarn';
  Writeln('Starting ', Name);
  Items := TStringList.Create;
  Items.Sorted := True;
  Items.Add('alpha');
  Items.Add('beta');

  // 9: a for loop with a compound body
  for I := 0 to Items.Count - 1 do
  begin
    Line := Items[I];
    if Line = '' then
      Continue;
    Inc(Total, Length(Line));
  end;

  // 10: a for..in loop
  for S in Items do
    Writeln(S);

  // 11: downto with a single statement
  for I := High(Buffer) downto Low(Buffer) do
    Buffer[I] := 0;

  // 12: while with nested if/else chains
  while (Count < 10) and not Stopped do
  begin
    if Count mod 2 = 0 then
      Even := Even + 1
    else if Count mod 3 = 0 then
      Third := Third + 1
    else
    begin
      Other := Other + 1;
      Log('other', [Count, Other]);
    end;
    Inc(Count);
  end;

  // 13: repeat with several statements
  repeat
    Dec(Count);
    Sum := Sum + Values[Count];
  until (Count = 0) or (Sum > Limit);

  // 14: case with ranges, lists and an else part
  case Key of
    'a'..'z', 'A'..'Z':
      Kind := ckLetter;
    '0'..'9':
      begin
        Kind := ckDigit;
        Value := Value * 10 + Ord(Key) - Ord('0');
      end;
    #13, #10:
      Kind := ckNewLine;
  else
    Kind := ckOther;
    Inc(Unknown);
  end;

  // 15: case on an enumeration without else
  case State of
    stIdle: Start;
    stRunning, stPaused: Resume(True);
    stDone: ;
  end;

  // 16: try/finally around object use
  Stream := TMemoryStream.Create;
  try
    Stream.WriteBuffer(Header, SizeOf(Header));
    Stream.Position := 0;
    Load(Stream);
  finally
    Stream.Free;
  end;

  // 18: try/except with handlers and a re-raise
  try
    Value := StrToInt(Text);
  except
    on E: EConvertError do
      Value := -1;
    on E: EOverflow do
    begin
      Log(E.Message);
      raise;
    end;
  end;

  // 19: try/except with an else part
  try
    Connect(Host, Port);
  except
    on EHostNotFound do
      Retries := 0;
  else
    Retries := Retries - 1;
  end;

  // 20: try/except with plain statements
  try
    Process;
  except
    Cleanup;
    raise;
  end;

  // 21: nested try blocks
  try
    try
      Work;
    except
      on E: Exception do
        Report(E);
    end;
  finally
    Finish;
  end;

  // 22: with statements
  with Items do
  begin
    Clear;
    Add('gamma');
  end;
  with Form, Canvas do
    TextOut(0, 0, Caption);

  // 24: labels and goto
Retry:
  Attempt := Attempt + 1;
  if not TryOpen then
    goto Retry;
Done:
  ;

  // 27: nested blocks
  begin
    begin
      Inner := 1;
    end;
    Outer := 2;
  end;

  // 28: pointer and index work
  P^.Next := nil;
  Matrix[Row, Col] := Matrix[Col, Row];
  Node := Node^.Next;
  Flags := Flags + [sfActive, sfVisible];

  // 32: generic creation and method chains
  List := TList<Integer>.Create;
  List.Add(42);
  Result := List.Items[0].ToString.Trim;

  // 35: inherited calls and exits
  inherited Create(AOwner);
  if Assigned(FOnChange) then
    FOnChange(Self);
  Exit;

  // 38: an anonymous call inside a loop header
  while Queue.TryDequeue(Job) do
    Job.Execute;

  // 39: nested loops with break
  for Row := 0 to Rows - 1 do
    for Col := 0 to Cols - 1 do
      if Grid[Row, Col] = Target then
      begin
        Found := True;
        Break;
      end;

  // 40: a repeat holding a case
  repeat
    Token := NextToken;
    case Token.Kind of
      tkEnd: Break;
      tkIdent: Names.Add(Token.Text);
    end;
  until False;

  // 41: a loop over a stream with cleanup in each pass
  while not Reader.Eof do
  begin
    Line := Reader.ReadLine;
    Buffer := TStringBuilder.Create;
    try
      with Buffer do
      begin
        Append(Line);
        Append(sLineBreak);
      end;
      Output.Write(Buffer.ToString);
    finally
      Buffer.Free;
    end;
  end;

  // 42: a case whose arms hold blocks, loops and a nested case
  case Command of
    cmdOpen:
      begin
        if FileExists(Path) then
          Open(Path)
        else
          Create(Path);
      end;
    cmdSave, cmdSaveAs:
      for Doc in Documents do
        Doc.Save;
    cmdClose:
      case Answer of
        mrYes: SaveAll;
        mrNo: ;
      else
        Exit;
      end;
  end;

  // 43: a for loop whose body repeats until a condition holds
  for Attempt := 1 to MaxAttempts do
  begin
    repeat
      Sleep(Delay);
      Delay := Delay * 2;
    until Ready or (Delay > MaxDelay);
    if Ready then
      Break;
  end;

  // 44: error handling inside a finally part
  Lock.Acquire;
  try
    Update(Shared);
  finally
    try
      Lock.Release;
    except
      on E: ELockError do
        Log(E.Message);
    end;
  end;

  // 46: conditions with sets, nil checks and typecasts
  if not (Ch in ['a'..'z', '_']) and (Next <> nil) then
    TButton(Sender).Caption := Format('%d items', [Count])
  else if Assigned(Parent) and (Parent is TForm) then
    (Parent as TForm).Close;

  // 47: an empty statement and a final assignment
  ;
  ExitCode := 0;
end.
